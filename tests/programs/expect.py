"""What the programs must print and write, worked out from a disc image's
bytes and from facts about it that a tool other than the programs recorded.
Used by the whole-program tests; written from the programs' documented
behaviour, not from their code."""

MANAGEMENT_FIRST = 8752
MOVIE_FIRST = 10112


def dump(data):
    """sectorscope's dump layout."""
    lines = []
    for offset in range(0, len(data), 16):
        row = data[offset:offset + 16]
        hexes = ""
        for i, b in enumerate(row):
            if i == 8:
                hexes += " "
            hexes += "%02X " % b
        chars = "".join(chr(b) if 0x20 <= b <= 0x7F else "." for b in row)
        lines.append("%08X  %-49s %-16s\n" % (offset, hexes, chars))
    return "".join(lines).encode("latin-1")


def progress(count):
    """The progress line of a phase of `count` blocks."""
    text, last = "", 0
    for i in range(count):
        p = i * 100 // count
        if p > last + 4:
            text += "%d %%\r" % p
            last = p
    return text.encode()


def fixed_layout(sectors, image_bytes):
    """Standard output and files of `vrsalvage IMAGE` on an image of `sectors`
    sectors whose recorded area is the whole image."""
    out = b""
    if image_bytes[MANAGEMENT_FIRST * 2048:MANAGEMENT_FIRST * 2048 + 12] != b"DVD_RTR_VMG0":
        out += b"? not found IFO\n"
    if image_bytes[MOVIE_FIRST * 2048:MOVIE_FIRST * 2048 + 5] != b"\x00\x00\x01\xba\x44":
        out += b"? not found VRO\n"
    movie = sectors - MOVIE_FIRST
    out += b"# = 4096 sectors\nWriting VR_MANGR.IFO\nsector count = 1360\n"
    out += b"Writing VR_MOVIE.VRO\nsector count = %d\n" % movie
    marks = max(movie, 0) // 4096
    if marks:
        out += b"#" * marks + b"\n"
    out += b"completed\n"
    files = {
        "VR_MANGR.IFO": image_bytes[MANAGEMENT_FIRST * 2048:MOVIE_FIRST * 2048],
        "VR_MOVIE.VRO": image_bytes[MOVIE_FIRST * 2048:max(sectors, MOVIE_FIRST) * 2048],
    }
    return out, files


def recovery_file(name, start, sectors, map_bytes, reusable, image_bytes):
    """Standard output and contents of one recovery file of `vrsalvage -r`.
    `reusable` is the set of partition blocks that the map (with the file's
    own unrecorded extents) marks reusable; the recorded area is the whole
    image of `sectors` sectors."""
    map_blocks = 8 * map_bytes
    tail = (sectors - 1 - start + 1) - map_blocks

    def block(b):
        return image_bytes[(start + b) * 2048:(start + b + 1) * 2048]

    if name == "VR_MANGR.IFO":
        first, end = max(MANAGEMENT_FIRST - start, 0), max(MOVIE_FIRST - start, 0)
        blocks = [b for b in range(first, end) if b < map_blocks and b in reusable]
        out = b"IFO Processing\nPhase-1\n" + progress(end - first)
        return out, b"".join(block(b) for b in blocks)
    first = max(MOVIE_FIRST - start, 0)
    end = max(map_blocks + min(tail, 0), first)
    blocks = [b for b in range(first, end) if b in reusable]
    tail_blocks = list(range(map_blocks, map_blocks + max(tail, 0)))
    out = b"VRO Processing\nPhase-1\n" + progress(end - first) + b"Phase-2\n" + progress(len(tail_blocks))
    return out, b"".join(block(b) for b in blocks + tail_blocks)


def runs_to_set(runs):
    blocks = set()
    for first, count in runs:
        blocks.update(range(first, first + count))
    return blocks


class Checks:
    """Counts checks and prints each that fails."""

    def __init__(self):
        self.count = 0
        self.failures = []

    def __call__(self, condition, what):
        self.count += 1
        if not condition:
            self.failures.append(what)
            print("FAIL:", what)

    def summary(self):
        print("%d passed, %d failed" % (self.count - len(self.failures), len(self.failures)))
        return 1 if self.failures else 0


def run(argv, cwd):
    """Runs a program in `cwd`; its exit status and standard output."""
    import subprocess
    result = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return result.returncode, result.stdout
