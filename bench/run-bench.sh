#!/usr/bin/env bash
# run-bench.sh: throughput, peak memory and instruction counts of vrsalvage, in both modes,
# against a raw copy of the same sectors on the same machine.
#
# Usage: bench/run-bench.sh [--build-dir DIR] [--reps N] [--sizes "SECTORS ..."] [--tmp DIR] [--keep]
#                           [--latency MS] [--rate MB/S]
#   --build-dir DIR  build (or reuse) vrsalvage and mkvrdisc in DIR (configured RelWithDebInfo,
#                    without the tests) instead of `cmake --preset default` (build/default)
#   --reps N         timed runs of vrsalvage and of its dd equivalent, in both modes, at least 3
#                    (default 7; the large-block references run 3 times); the median counts
#   --sizes LIST     image sizes in 2048-byte sectors (default "488288 2298496": 1.0 GB and a
#                    full single-layer DVD of 4.7 GB)
#   --tmp DIR        where the temporary directory goes (default: mktemp's, $TMPDIR or the
#                    system's); images and output files both live there, on one file system
#   --keep           keep the temporary directory (its path is printed)
#   --latency MS     the drive model's time per command (default 0.2)
#   --rate MB/S      the drive model's media rate (default 11)
#
# What it does:
#  1. Builds the release programs vrsalvage and mkvrdisc (-j 2). Installs GNU time, valgrind
#     and strace with apt-get when they are missing (root only).
#  2. Makes DVD-VR disc images with mkvrdisc in a temporary directory, for every size:
#       "free":  VR_MOVIE.VRO in 6 recordings with 5 gaps between them, 25 % of the movie
#                area free in the space bitmap, as erased recordings leave it; the first
#                4 MB of every gap hold an erased recording's packs
#       "alloc": VR_MOVIE.VRO allocated over the whole movie area; `vrsalvage -r` then copies
#                nothing, so its run is the UDF walk and the map scan alone
#     and a small image (20000 sectors, real pack data) for the instruction counts.
#     The images are sparse: reading their holes is served from the page cache (zero-filled
#     pages), so the figures measure the per-sector cost of the programs and the kernel's
#     read and write paths, not any disk or optical drive.
#  3. Memory: on a virtual machine whose host takes freed memory back (free page reporting), a
#     run that writes into memory freed long before pays for the host's page faults, so each
#     comparison runs back to back (A B A B ...): every run starts right after the other
#     contender's output was deleted.
#     Page cache: every image is read once before any timed run (the first read of a hole
#     allocates and zeroes its page cache pages, which is far slower than later reads), and
#     one untimed copy of the movie area (dd bs=64K) warms the write path. Output files are
#     written into an empty directory on the same file system as the image and deleted right
#     after each run, which also discards their dirty pages; before the next run the script
#     waits (up to 30 s) until the kernel's Writeback count is below 64 MB. It neither syncs
#     nor drops caches.
#  4. Times the contenders of each comparison in turn, back to back (A B A B ...), per image size:
#       default mode:  vrsalvage IMG (VR_MANGR.IFO + VR_MOVIE.VRO)
#                      dd bs=2048 skip=10112 (one read and one write per sector, like vrsalvage)
#                      dd bs=32K (one read per 16-sector ECC block, as a DVD drive reads)
#                      dd bs=64K, dd bs=1M (the same bytes; the machine's large-block copy)
#                      cp --sparse=never (the whole image; cp writes the holes from a zero
#                      buffer without reading them)
#       -r mode:       vrsalvage -r IMG
#                      dd bs=2048 skip=X count=Y for every run of blocks that -r copies (the
#                      free runs of mkvrdisc's .record within the management and movie areas
#                      and the recorded sectors beyond the bitmap), appended to one file;
#                      the same runs with dd bs=32K
#                      vrsalvage -r on the "alloc" image: the walk and the map alone, next
#                      to vrsalvage printing its usage text: the start of the process alone
#     Wall time is taken around each run (date +%s%N); user and system time and the peak
#     resident set size come from /usr/bin/time -v. MB are 10^6 bytes.
#  5. Counts user-space instructions (valgrind --tool=callgrind) of both modes and of dd on the
#     small image, per copied sector, with the top functions by Ir, and counts the system
#     calls per copied sector (strace -c).
#     READ (10) commands per GiB copied: on a disc image every READ (10) of the emulated drive
#     is one pread64, so strace's count of them is the count of commands (metadata included).
#  6. The drive model (bench/drive_model): the modelled time of reading a full single-layer
#     DVD (2298496 sectors) through one-sector READ (10) commands, 16-sector ECC blocks, 64 KiB
#     and 1 MiB reads, at 0.2 ms a command and 11 MB/s (options --latency MS and --rate MB/S to
#     override), against the media-rate bound (the data alone at the media rate).
#  7. Prints the results as Markdown on standard output; progress goes to standard error.
#
# Absolute figures depend on the machine and on what else runs on it (the load is printed);
# the ratios between contenders measured in the same run are what the script is for.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

build_dir=""
reps=7
sizes="488288 2298496"
tmp_parent=""
keep=0
latency=0.2
rate=11
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=${2:?--build-dir needs a directory}; shift 2 ;;
    --reps) reps=${2:?--reps needs a number}; shift 2 ;;
    --sizes) sizes=${2:?--sizes needs a list}; shift 2 ;;
    --tmp) tmp_parent=${2:?--tmp needs a directory}; shift 2 ;;
    --keep) keep=1; shift ;;
    --latency) latency=${2:?--latency needs milliseconds}; shift 2 ;;
    --rate) rate=${2:?--rate needs MB/s}; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-bench.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
if ! [[ "$reps" =~ ^[0-9]+$ ]] || [ "$reps" -lt 3 ]; then
  echo "run-bench.sh: --reps must be a number of at least 3" >&2
  exit 2
fi
for n in $sizes; do
  if ! [[ "$n" =~ ^[0-9]+$ ]] || [ "$n" -lt 20000 ] || [ "$n" -gt 4194304 ]; then
    echo "run-bench.sh: an image size is a number of sectors from 20000 to 4194304, not '$n'" >&2
    exit 2
  fi
done

say() { echo "run-bench: $*" >&2; }
die() { echo "run-bench: $*" >&2; exit 1; }

# ---- tools --------------------------------------------------------------------------------

missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v valgrind > /dev/null && command -v callgrind_annotate > /dev/null || missing+=(valgrind)
command -v strace > /dev/null || missing+=(strace)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get > /dev/null; then
    say "installing ${missing[*]}"
    apt-get update -qq > /dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" > /dev/null
  else
    die "missing ${missing[*]}; install them (Debian packages: ${missing[*]})"
  fi
fi

# ---- build --------------------------------------------------------------------------------

if [ -n "$build_dir" ]; then
  mkdir -p "$build_dir"
  build_dir=$(cd "$build_dir" && pwd)
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    say "configuring $build_dir"
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRS_TESTS=OFF > /dev/null
  fi
  say "building vrsalvage and mkvrdisc in $build_dir"
  cmake --build "$build_dir" --target vrsalvage mkvrdisc drive_model -j 2 > /dev/null
else
  build_dir=$root/build/default
  say "building vrsalvage and mkvrdisc (preset default)"
  (cd "$root" && cmake --preset default > /dev/null && cmake --build --preset default --target vrsalvage mkvrdisc drive_model -j 2 > /dev/null)
fi
vrsalvage=$build_dir/vrsalvage/vrsalvage
mkvrdisc=$build_dir/tools/mkvrdisc
drive_model=$build_dir/bench/drive_model
[ -x "$drive_model" ] || die "no drive_model in $build_dir"
[ -x "$vrsalvage" ] || die "no vrsalvage in $build_dir"
[ -x "$mkvrdisc" ] || die "no mkvrdisc in $build_dir"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")

# ---- the temporary directory --------------------------------------------------------------

if [ -n "$tmp_parent" ]; then
  work=$(mktemp -d "$tmp_parent/vrsalvage-bench.XXXXXX")
else
  work=$(mktemp -d -t vrsalvage-bench.XXXXXX)
fi
cleanup() {
  if [ "$keep" -eq 1 ]; then say "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
out=$work/out
results=$work/results.txt
: > "$results"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
machine="$cpu_model, $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), Linux $(uname -r)"
fs_type=$(stat -f -c %T "$work")

# ---- images -------------------------------------------------------------------------------

readonly kIfo=8752 kMovie=10112 kIfoSectors=1360

# make_recipe SECTORS KIND CONTENT [ERASED]: a DVD-VR disc of SECTORS sectors. KIND "free":
# 6 recordings with 5 gaps of 25 % of the movie area in all, each gap starting with an erased
# recording of at most ERASED sectors (default 2000); "alloc": one movie file over the whole
# area. CONTENT: the movie file's data, "zeros" (nothing written: sparse) or "packs".
make_recipe() {
  local n=$1 kind=$2 content=$3 erased_max=${4:-2000}
  local end=$((n - 1))  # the anchor in the last sector ends the partition
  local area=$((end - kMovie))
  echo "sectors $n"
  echo "patch $kMovie 0 000001BA44  # the pack header that vrsalvage looks for"
  echo "dir /DVD_RTAV"
  echo "file /DVD_RTAV/VR_MANGR.IFO"
  echo "file /DVD_RTAV/VR_MOVIE.VRO content=$content"
  [ "$kind" = alloc ] && return
  local rec_w=(3 5 2 4 6 3) gap_w=(2 1 3 1 2)
  local free=$((area / 4)) rec_sum=23 gap_sum=9
  local recorded=$((area - free))
  local at=$kMovie i length gaps=()
  for i in 0 1 2 3 4 5; do
    if [ "$i" -eq 5 ]; then length=$((end - at)); else length=$((recorded * rec_w[i] / rec_sum)); fi
    while [ "$length" -gt 0 ]; do  # one extent holds at most 524287 sectors (30-bit length)
      local piece=$((length > 524287 ? 524287 : length))
      echo "extent 0 $at ${piece}s"
      at=$((at + piece))
      length=$((length - piece))
    done
    if [ "$i" -lt 5 ]; then
      length=$((free * gap_w[i] / gap_sum))
      gaps+=("$at $length")
      at=$((at + length))
    fi
  done
  local g first count
  for g in "${gaps[@]}"; do
    read -r first count <<< "$g"
    [ "$count" -gt "$erased_max" ] && count=$erased_max
    echo "erased $first ${count}s"
  done
}

# copy_runs RECORD: "FILE FIRST COUNT" lines, the sectors that `vrsalvage -r` copies into
# VR_MANGR_R.IFO and VR_MOVIE_R.VRO, in order: the free blocks of the management and movie
# areas (as far as the bitmap reaches) and, for the movie file, every sector beyond the bitmap.
copy_runs() {
  awk -v ifo=$kIfo -v movie=$kMovie '
    $1 == "sectors" { n = $2 }
    $1 == "partition" { s = $2 }
    $1 == "bitmap" { map = 8 * $3 }
    $1 == "free" { f[++k] = $2; c[k] = $3 }
    $1 == "extent" && $3 == 1 { print "run-bench: type-1 extents are not covered" > "/dev/stderr"; exit 1 }
    function emit(name, lo, hi,   i, a, b) {
      for (i = 1; i <= k; i++) {
        a = f[i] > lo ? f[i] : lo; b = f[i] + c[i] < hi ? f[i] + c[i] : hi
        if (a < b) print name, s + a, b - a
      }
    }
    END {
      tail = (n - 1 - s + 1) - map
      emit("VR_MANGR_R.IFO", ifo - s, movie - s)
      emit("VR_MOVIE_R.VRO", movie - s, map)  # to the end of the map, wherever the recorded area ends
      if (tail > 0) print "VR_MOVIE_R.VRO", s + map, tail
    }' "$1"
}

say "making the images in $work ($fs_type)"
for n in $sizes; do
  make_recipe "$n" free zeros > "$work/free-$n.recipe"
  make_recipe "$n" alloc zeros > "$work/alloc-$n.recipe"
  "$mkvrdisc" "$work/free-$n.recipe" "$work/free-$n.img"
  "$mkvrdisc" "$work/alloc-$n.recipe" "$work/alloc-$n.img"
done
small=20000
make_recipe $small free packs $small > "$work/small.recipe"  # erased recordings fill the gaps
"$mkvrdisc" "$work/small.recipe" "$work/small.img"

# ---- measuring ----------------------------------------------------------------------------

# Waits until the kernel has little left in writeback, at most 30 s.
settle() {
  local i
  for i in $(seq 60); do
    [ "$(awk '/^Writeback:/ { print $2 }' /proc/meminfo)" -lt 65536 ] && return
    sleep 0.5
  done
}

# run_one GROUP SIZE CONTENDER COMMAND...: one timed run in an empty output directory.
run_one() {
  local group=$1 size=$2 name=$3
  shift 3
  rm -rf "$out"
  mkdir "$out"
  local t0 t1 status=0
  t0=$(date +%s%N)
  (cd "$out" && /usr/bin/time -v -o "$work/time.txt" "$@" > "$work/run.log" 2>&1) || status=$?
  t1=$(date +%s%N)
  if [ "$status" -ne 0 ]; then
    cat "$work/run.log" "$work/time.txt" >&2
    die "$name failed (status $status)"
  fi
  local bytes
  bytes=$(find "$out" -type f -printf '%s\n' | awk '{ t += $1 } END { printf "%.0f\n", t }')
  # GROUP SIZE CONTENDER BYTES WALL_NS USER_S SYSTEM_S PEAK_RSS_KIB
  awk -v g="$group" -v s="$size" -v c="$name" -v b="$bytes" -v ns=$((t1 - t0)) '
    /User time/ { u = $NF } /System time/ { y = $NF } /Maximum resident set size/ { r = $NF }
    END { gsub(/ /, "_", c); print g, s, c, b, ns, u, y, r }' "$work/time.txt" >> "$results"
  rm -rf "$out"
  settle
}

for n in $sizes; do
  img=$work/free-$n.img
  alloc=$work/alloc-$n.img
  copy_runs "$img.record" > "$work/runs-$n.txt"
  {
    while read -r file first count; do
      echo "dd if='$img' of=$file bs=2048 skip=$first count=$count conv=notrunc oflag=append status=none"
    done < "$work/runs-$n.txt"
  } > "$work/dd-r-$n.sh"
  {
    while read -r file first count; do
      echo "dd if='$img' of=$file bs=32K iflag=skip_bytes,count_bytes skip=$((first * 2048)) count=$((count * 2048)) conv=notrunc oflag=append status=none"
    done < "$work/runs-$n.txt"
  } > "$work/dd-r32-$n.sh"
  r_bytes=$(awk '{ t += $3 } END { printf "%.0f\n", 2048 * t }' "$work/runs-$n.txt")

  say "$n sectors: warming the page cache"
  dd if="$img" of=/dev/null bs=1M status=none
  rm -rf "$out" && mkdir "$out"
  dd if="$img" of="$out/warm" bs=64K iflag=skip_bytes skip=$((kMovie * 2048)) status=none
  (cd "$out" && "$vrsalvage" -r "$alloc" > /dev/null)  # the blocks the walk reads
  rm -rf "$out"
  settle

  # Each pair alternates back to back (A B A B ...), so that both contenders start from the
  # same state: right after the other one's output was deleted.
  say "$n sectors: vrsalvage against dd bs=2048, $reps runs each"
  for rep in $(seq "$reps"); do
    run_one default "$n" "vrsalvage" "$vrsalvage" "$img"
    run_one default "$n" "dd bs=2048" dd if="$img" of=VR_MOVIE.VRO bs=2048 skip=$kMovie status=none
  done
  say "$n sectors: the large-block references, 3 runs each"
  for rep in 1 2 3; do
    run_one default "$n" "dd bs=32K" dd if="$img" of=VR_MOVIE.VRO bs=32K iflag=skip_bytes skip=$((kMovie * 2048)) status=none
    run_one r "$n" "dd bs=32K per run" sh "$work/dd-r32-$n.sh"
    run_one default "$n" "dd bs=64K" dd if="$img" of=VR_MOVIE.VRO bs=64K iflag=skip_bytes skip=$((kMovie * 2048)) status=none
    run_one default "$n" "dd bs=1M" dd if="$img" of=VR_MOVIE.VRO bs=1M iflag=skip_bytes skip=$((kMovie * 2048)) status=none
    run_one default "$n" "cp --sparse=never" cp --sparse=never "$img" image.copy
  done
  say "$n sectors: vrsalvage -r against dd per run, $reps runs each"
  for rep in $(seq "$reps"); do
    run_one r "$n" "vrsalvage -r" "$vrsalvage" -r "$img"
    run_one r "$n" "dd bs=2048 per run" sh "$work/dd-r-$n.sh"
  done
  say "$n sectors: the walk and the map alone"
  for rep in $(seq $((3 * reps))); do  # short runs: more of them
    run_one walk "$n" "vrsalvage -r, all allocated" "$vrsalvage" -r "$alloc"
    run_one walk "$n" "vrsalvage, usage text only" "$vrsalvage"
  done
  got=$(awk -v s="$n" '$1 == "r" && $2 == s && $3 == "vrsalvage_-r" { print $4; exit }' "$results")
  [ "$got" = "$r_bytes" ] || die "vrsalvage -r wrote $got bytes, the dd runs $r_bytes"
  rm -f "$img"  # its page cache goes with it
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- instructions and system calls on the small image -------------------------------------

say "callgrind and strace on the small image"
cg() {  # cg NAME COMMAND...: callgrind output in $work/NAME.cg, outputs in $work/NAME.out
  rm -rf "$work/$1.out"
  mkdir "$work/$1.out"
  local name=$1
  shift
  (cd "$work/$name.out" && valgrind --tool=callgrind --callgrind-out-file="$work/$name.cg" "$@" > /dev/null 2> "$work/$name.vg") ||
    { cat "$work/$name.vg" >&2; die "callgrind of $name failed"; }
}
cg def "$vrsalvage" "$work/small.img"
cg r "$vrsalvage" -r "$work/small.img"
cg dd dd if="$work/small.img" of=VR_MOVIE.VRO bs=2048 skip=$kMovie status=none
largest=$(printf '%s\n' $sizes | sort -n | tail -1)
cg walk "$vrsalvage" -r "$work/alloc-$largest.img"
copy_runs "$work/small.img.record" > "$work/runs-small.txt"
mkdir "$work/dd-r.out"
while read -r file first count; do
  (cd "$work/dd-r.out" && dd if="$work/small.img" of=$file bs=2048 skip=$first count=$count conv=notrunc oflag=append status=none)
done < "$work/runs-small.txt"
cmp "$work/def.out/VR_MOVIE.VRO" "$work/dd.out/VR_MOVIE.VRO" > /dev/null ||
  die "vrsalvage's VR_MOVIE.VRO differs from dd's copy of the same sectors"
cmp "$work/r.out/VR_MOVIE_R.VRO" "$work/dd-r.out/VR_MOVIE_R.VRO" > /dev/null ||
  die "vrsalvage -r's VR_MOVIE_R.VRO differs from dd's copy of the same runs"

sectors_in() { find "$1" -type f -printf '%s\n' | awk '{ t += $1 } END { print t / 2048 }'; }
total_ir() { sed -n 's/^summary: *//p; s/^totals: *//p' "$1" | head -1; }
inclusive_ir() {  # inclusive_ir FILE FUNCTION
  callgrind_annotate --inclusive=yes "$1" 2> /dev/null |
    awk -v f="$2" '!done && index($0, ":" f "(") { gsub(/,/, "", $1); print $1; done = 1 }'
}
clearing_ir() {  # Ir of glibc's memset
  callgrind_annotate "$1" 2> /dev/null |
    awk '/:__memset/ && $1 ~ /^[0-9,]+$/ { gsub(/,/, "", $1); t += $1 } END { printf "%.0f\n", t }'
}
top_functions() {  # the 8 functions with the most Ir of their own, without directories and objects
  callgrind_annotate "$1" 2> /dev/null |
    awk '/file:function/ { on = 1; getline; next } on && NF == 0 { on = 0 } on && ++k <= 8 { print }' |
    sed -E 's/ \[[^]]*\]$//; s#  [^ ]*/([^/ ]+:)#  \1#; s/\(anonymous namespace\)::/(anon)::/; s/\([^()]*\)$//'
}

strace_calls() {  # strace_calls NAME COMMAND...: "calls name" lines of the two busiest system calls
  local name=$1
  shift
  rm -rf "$work/$name.st.out"
  mkdir "$work/$name.st.out"
  (cd "$work/$name.st.out" && strace -f -c -o "$work/$name.strace" "$@" > /dev/null 2>&1) || die "strace of $name failed"
}
strace_calls def "$vrsalvage" "$work/small.img"
strace_calls r "$vrsalvage" -r "$work/small.img"
strace_calls dd dd if="$work/small.img" of=VR_MOVIE.VRO bs=2048 skip=$kMovie status=none
strace_calls dd32 dd if="$work/small.img" of=VR_MOVIE.VRO bs=32K iflag=skip_bytes skip=$((kMovie * 2048)) status=none
reads_per_gib() {  # reads_per_gib NAME SYSCALL SECTORS: calls of SYSCALL per GiB copied
  awk -v c="$2" -v s="$3" '$NF == c { n = $4 } END { printf "%.0f", n / (s * 2048 / 1073741824) }' "$work/$1.strace"
}
per_sector_calls() {  # per_sector_calls NAME SECTORS: the busiest calls per copied sector
  awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { print $NF, $4 }' "$work/$1.strace" | sort -k2 -nr |
    awk -v s="$2" 'NR <= 3 { printf "%s%s %.3f", (NR > 1 ? ", " : ""), $1, $2 / s } END { print "" }'
}

# ---- report -------------------------------------------------------------------------------

echo "## vrsalvage benchmark"
echo
echo "- Machine: $machine"
echo "- Build: $build_type ($(basename "$build_dir")); file system of images and outputs: $fs_type"
echo "- Load average (1, 5, 15 min): $load_before before, $load_after after the timed runs"
echo "- The contenders of each comparison taken in turn, back to back (A B A B ...); medians; MB = 10^6 bytes"
echo "- Images: sparse DVD-VR images made by mkvrdisc (holes read from the page cache, warmed before"
echo "  timing); 25 % of the movie area free in 5 gaps; outputs deleted after every run"
echo
awk -v machine="$cpu_model, Linux $(uname -r)" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return a[int((n + 1) / 2)]
  }
  function ratio(a, b) { return b > 0 && a > 0 ? sprintf("%.2f", a / b) : "–" }
  {
    key = $1 SUBSEP $2 SUBSEP $3
    if (!(key in bytes)) order[++k] = key
    bytes[key] = $4; runs[key]++
    wall[key] = wall[key] " " $5; user[key] = user[key] " " $6; cpu[key] = cpu[key] " " ($6 + $7)
    walls[key] = walls[key] (runs[key] > 1 ? " " : "") sprintf("%.3f", $5 / 1e9)
    if ($8 + 0 > rss[key] + 0) rss[key] = $8
  }
  END {
    for (i = 1; i <= k; i++) {
      key = order[i]
      w[key] = median(wall[key]) / 1e9; u[key] = median(user[key]); c[key] = median(cpu[key])
    }
    print "| Machine | Image | Contender | Runs | Copied MB | Wall s | MB/s | × dd bs=2048 | × dd bs=32K | User s | User+sys s | × dd bs=2048 (CPU) | Peak RSS KiB |"
    print "|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
    for (i = 1; i <= k; i++) {
      key = order[i]; split(key, p, SUBSEP)
      group = p[1]; size = p[2]; name = p[3]; gsub(/_/, " ", name)
      ref = (group == "r" ? "r" SUBSEP size SUBSEP "dd_bs=2048_per_run" : "default" SUBSEP size SUBSEP "dd_bs=2048")
      ref32 = (group == "r" ? "r" SUBSEP size SUBSEP "dd_bs=32K_per_run" : "default" SUBSEP size SUBSEP "dd_bs=32K")
      image = sprintf("%.1f GB (%d sectors)", size * 2048 / 1e9, size)
      if (group == "walk") {
        printf "| %s | %s | %s | %d | 0 | %.3f | – | – | – | %.2f | %.2f | – | %d |\n", machine, image, name, runs[key], w[key], u[key], c[key], rss[key]
        continue
      }
      mbs = bytes[key] / 1e6 / w[key]; refmbs = bytes[ref] / 1e6 / w[ref]
      ref32mbs = (ref32 in w) && w[ref32] > 0 ? bytes[ref32] / 1e6 / w[ref32] : 0
      cpumbs = c[key] > 0 ? bytes[key] / 1e6 / c[key] : 0; refcpu = c[ref] > 0 ? bytes[ref] / 1e6 / c[ref] : 0
      printf "| %s | %s | %s | %d | %.1f | %.2f | %.0f | %.2f | %s | %.2f | %.2f | %s | %d |\n", machine, image, name, runs[key], bytes[key] / 1e6, w[key], mbs, mbs / refmbs, ratio(mbs, ref32mbs), u[key], c[key], ratio(cpumbs, refcpu), rss[key]
    }
    print ""
    print "Ratios: MB/s of the contender over MB/s of dd bs=2048, and of dd bs=32K, on the same image"
    print "(for -r: of the dd runs over the same blocks). \"User+sys s\": CPU time of the run; its ratio is the same"
    print "comparison by CPU time, which other work on the machine disturbs less than wall time."
    print "\"User s\" is the programs own work; the rest of the CPU time is the kernel reading and writing."
    print ""
    print "Wall seconds of every run:"
    print ""
    for (i = 1; i <= k; i++) {
      key = order[i]; split(key, p, SUBSEP); name = p[3]; gsub(/_/, " ", name)
      printf "- %s sectors, %s: %s\n", p[2], name, walls[key]
    }
    print ""
    print "### Goals"
    print ""
    for (i = 1; i <= k; i++) {
      key = order[i]; split(key, p, SUBSEP); size = p[2]
      if (!(size in seen)) { seen[size] = 1; sizes[++m] = size }
    }
    worst_rss = 0
    for (j = 1; j <= m; j++) {
      size = sizes[j]
      a = "default" SUBSEP size SUBSEP "vrsalvage"; b = "default" SUBSEP size SUBSEP "dd_bs=32K"
      x = (bytes[a] / w[a]) / (bytes[b] / w[b]); y = (bytes[a] / c[a]) / (bytes[b] / c[b])
      printf "- %s sectors, default mode at least 0.9 × dd bs=32K: %.2f (CPU %.2f): %s\n", size, x, y, (x >= 0.9 ? "met" : "MISSED")
      a = "r" SUBSEP size SUBSEP "vrsalvage_-r"; b = "r" SUBSEP size SUBSEP "dd_bs=32K_per_run"
      x = (bytes[a] / w[a]) / (bytes[b] / w[b]); y = (bytes[a] / c[a]) / (bytes[b] / c[b])
      printf "- %s sectors, -r at least 0.9 × dd bs=32K over the same runs: %.2f (CPU %.2f): %s\n", size, x, y, (x >= 0.9 ? "met" : "MISSED")
      a = "walk" SUBSEP size SUBSEP "vrsalvage_-r,_all_allocated"; b = "walk" SUBSEP size SUBSEP "vrsalvage,_usage_text_only"
      printf "- %s sectors, the walk and the map alone: %.0f ms (%.0f ms over a run that prints the usage text)\n", size, 1000 * w[a], 1000 * (w[a] - w[b])
      d[size] = rss["default" SUBSEP size SUBSEP "vrsalvage"]; r[size] = rss["r" SUBSEP size SUBSEP "vrsalvage_-r"]
      if (d[size] > worst_rss) worst_rss = d[size]
      if (r[size] > worst_rss) worst_rss = r[size]
    }
    printf "- Peak RSS under 4 MiB (4096 KiB): at most %d KiB: %s\n", worst_rss, (worst_rss < 4096 ? "met" : "MISSED")
    printf "- Peak RSS the same for every image size: default mode"
    for (j = 1; j <= m; j++) printf " %d", d[sizes[j]]
    printf " KiB, -r"
    for (j = 1; j <= m; j++) printf " %d", r[sizes[j]]
    print " KiB (-r holds the space bitmap: one byte per 8 blocks of the partition)"
  }' "$results"

s_def=$(sectors_in "$work/def.out")
s_r=$(sectors_in "$work/r.out")
s_dd=$(sectors_in "$work/dd.out")
ir_def=$(total_ir "$work/def.cg")
ir_r=$(total_ir "$work/r.cg")
ir_dd=$(total_ir "$work/dd.cg")
loop_def=$(inclusive_ir "$work/def.cg" copySectorsToFile)
loop_r=$(inclusive_ir "$work/r.cg" copyReusableBlocks)
echo
echo "### User-space instructions (callgrind, $small-sector image, real pack data)"
echo
echo "| Run | Sectors copied | Ir total | Ir / sector | Ir / sector in the copy loop |"
echo "|---|--:|--:|--:|--:|"
awk -v s="$s_def" -v t="$ir_def" -v l="$loop_def" 'BEGIN { printf "| vrsalvage | %d | %d | %.0f | %.0f (copySectorsToFile, inclusive) |\n", s, t, t / s, l / s }'
awk -v s="$s_r" -v t="$ir_r" -v l="$loop_r" 'BEGIN { printf "| vrsalvage -r | %d | %d | %.0f | %.0f (copyReusableBlocks, inclusive) |\n", s, t, t / s, l / s }'
awk -v s="$s_dd" -v t="$ir_dd" 'BEGIN { printf "| dd bs=2048 skip=10112 | %d | %d | %.0f | – |\n", s, t, t / s }'
echo
echo "glibc's memset (what a short transfer left of a sector, and the walk's own buffers; callgrind counts its"
echo "rep stosb as one instruction a byte) takes $(awk -v s="$s_def" -v t="$(clearing_ir "$work/def.cg")" 'BEGIN { printf "%.0f", t / s }') Ir per sector in the default mode and $(awk -v s="$s_r" -v t="$(clearing_ir "$work/r.cg")" 'BEGIN { printf "%.0f", t / s }') Ir per copied sector with -r."
ir_walk=$(total_ir "$work/walk.cg")
loop_walk=$(inclusive_ir "$work/walk.cg" copyReusableBlocks)
walk_blocks=$((largest - 1 - kIfo))
echo
echo "The walk and the map alone, vrsalvage -r on the all-allocated image of $largest sectors (nothing"
echo "copied): $(awk -v t="$ir_walk" -v l="$loop_walk" -v b="$walk_blocks" 'BEGIN { printf "%d Ir in all; %d Ir in copyReusableBlocks, the scan of the map over %d blocks of the management and movie areas: %.1f Ir a block", t, l, b, l / b }')."
echo
echo "Totals include process start-up (the dynamic loader: about 1.7 million Ir for vrsalvage)."
echo "The copies were compared with cmp: vrsalvage's VR_MOVIE.VRO equals dd's copy of the same"
echo "sectors, and VR_MOVIE_R.VRO equals the dd runs over the free blocks."
for name in def r dd; do
  case $name in def) title="vrsalvage" ;; r) title="vrsalvage -r" ;; dd) title="dd bs=2048" ;; esac
  echo
  echo "Top functions by Ir of their own, $title:"
  echo
  echo '```'
  top_functions "$work/$name.cg"
  echo '```'
done
echo
echo "### System calls per copied sector (strace -c, same image)"
echo
echo "- vrsalvage: $(per_sector_calls def "$s_def")"
echo "- vrsalvage -r: $(per_sector_calls r "$s_r")"
echo "- dd bs=2048: $(per_sector_calls dd "$s_dd")"
echo
echo "### READ commands per GiB copied (strace -c, same image)"
echo
echo "On a disc image every READ (10) of the emulated drive is one pread64: the counts include the"
echo "metadata reads (signatures, descriptors, directories, the bitmap)."
echo
echo "| Run | Sectors copied | Reads per GiB copied |"
echo "|---|--:|--:|"
echo "| vrsalvage (READ (10)) | $s_def | $(reads_per_gib def pread64 "$s_def") |"
echo "| vrsalvage -r (READ (10)) | $s_r | $(reads_per_gib r pread64 "$s_r") |"
echo "| dd bs=2048 (read) | $s_dd | $(reads_per_gib dd read "$s_dd") |"
echo "| dd bs=32K (read) | $s_dd | $(reads_per_gib dd32 read "$s_dd") |"
echo
echo "### Drive model: a full single-layer DVD"
echo
"$drive_model" --latency "$latency" --rate "$rate" --sectors 2298496 --dir "$work"
