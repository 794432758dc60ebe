// Reading the recipe: one directive per line, "#" starts a comment.
#include "mkvrdisc.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Parser {
  Recipe* recipe = nullptr;
  int line = 0;
  int current = -1;  // the node that extent/continue lines belong to
  bool have_tree = false;
  bool have_sectors = false;
};

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
    if (i >= text.size() || text[i] == '#') break;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') ++i;
    words.push_back(text.substr(start, i - start));
  }
  return words;
}

// Decimal, or hexadecimal with 0x. Rejects empty strings, junk and overflow.
bool ParseNumber(const std::string& s, uint64_t& out) {
  if (s.empty()) return false;
  uint64_t base = 10;
  size_t i = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    uint64_t d;
    if (c >= '0' && c <= '9') d = static_cast<uint64_t>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<uint64_t>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<uint64_t>(c - 'A' + 10);
    else return false;
    if (v > (UINT64_MAX - d) / base) return false;
    v = v * base + d;
  }
  out = v;
  return true;
}

uint64_t Number(const Parser& p, const std::string& s, const char* what, uint64_t max) {
  uint64_t v = 0;
  if (!ParseNumber(s, v)) FailLine(p.line, std::string("bad ") + what + " '" + s + "'");
  if (v > max) FailLine(p.line, std::string(what) + " " + s + " is too large (at most " + std::to_string(max) + ")");
  return v;
}

// A length in bytes, or in sectors with the suffix "s".
uint64_t Length(const Parser& p, const std::string& s, const char* what) {
  if (!s.empty() && s.back() == 's') {
    uint64_t n = Number(p, s.substr(0, s.size() - 1), what, UINT64_MAX / kSectorSize);
    return n * kSectorSize;
  }
  return Number(p, s, what, UINT64_MAX);
}

Loc Location(const Parser& p, const std::string& s, const char* what, bool auto_ok) {
  Loc loc;
  if (s == "auto") {
    if (!auto_ok) FailLine(p.line, std::string(what) + " cannot be auto");
    return loc;
  }
  loc.is_auto = false;
  if (!s.empty() && s[0] == '@') {
    loc.is_sector = true;
    loc.value = Number(p, s.substr(1), what, 0xFFFFFFFFULL);
  } else {
    loc.value = Number(p, s, what, 0xFFFFFFFFULL);
  }
  return loc;
}

Form ParseForm(const Parser& p, const std::string& s) {
  if (s == "short") return Form::Short;
  if (s == "long") return Form::Long;
  if (s == "ext") return Form::Ext;
  if (s == "embedded") return Form::Embedded;
  FailLine(p.line, "unknown form '" + s + "' (short, long, ext or embedded)");
}

Content ParseContent(const Parser& p, const std::string& s) {
  Content c;
  if (s == "ifo") {
    c.kind = ContentKind::Ifo;
  } else if (s == "zeros") {
    c.kind = ContentKind::Zeros;
  } else if (s == "packs") {
    c.kind = ContentKind::Packs;
  } else if (s.rfind("packs/", 0) == 0) {
    c.kind = ContentKind::Packs;
    c.stride = static_cast<uint32_t>(Number(p, s.substr(6), "pack stride", 0xFFFFFFFFULL));
    if (c.stride == 0) FailLine(p.line, "pack stride must be at least 1");
  } else if (s.rfind("file:", 0) == 0 && s.size() > 5) {
    c.kind = ContentKind::File;
    c.path = s.substr(5);
    if (c.path[0] != '/' && !p.recipe->base_dir.empty()) c.path = p.recipe->base_dir + "/" + c.path;
  } else {
    FailLine(p.line, "unknown content '" + s + "' (ifo, packs, packs/K, zeros or file:PATH)");
  }
  return c;
}

bool SplitKey(const std::string& word, std::string& key, std::string& value) {
  size_t eq = word.find('=');
  if (eq == std::string::npos) return false;
  key = word.substr(0, eq);
  value = word.substr(eq + 1);
  return true;
}

void CheckName(const Parser& p, const std::string& name) {
  if (name.empty()) FailLine(p.line, "empty name in path");
  if (name.size() > 254) FailLine(p.line, "name longer than 254 bytes: " + name);
  if (name == "." || name == "..") FailLine(p.line, "'" + name + "' cannot be a name");
  for (char c : name) {
    if (c < 0x21 || c > 0x7E) FailLine(p.line, "names are printable ASCII without spaces: " + name);
  }
}

// Splits "/A/B/C" into its parent "/A/B" and name "C".
void SplitPath(const Parser& p, const std::string& path, std::string& parent, std::string& name) {
  if (path.empty() || path[0] != '/') FailLine(p.line, "paths start with '/': " + path);
  if (path == "/") FailLine(p.line, "the root has no name");
  if (path.back() == '/') FailLine(p.line, "path ends with '/': " + path);
  size_t slash = path.rfind('/');
  parent = slash == 0 ? "/" : path.substr(0, slash);
  name = path.substr(slash + 1);
  CheckName(p, name);
}

int FindLive(const Recipe& r, const std::string& path) {
  for (size_t i = 0; i < r.nodes.size(); ++i) {
    if (!r.nodes[i].deleted && r.nodes[i].path == path) return static_cast<int>(i);
  }
  return -1;
}

int AddNode(Parser& p, int parent, const std::string& name, bool is_dir, bool deleted) {
  Recipe& r = *p.recipe;
  Node n;
  n.name = name;
  n.path = JoinPath(r.nodes[static_cast<size_t>(parent)].path, name);
  n.is_dir = is_dir;
  n.deleted = deleted;
  n.parent = parent;
  n.line = p.line;
  r.nodes.push_back(n);
  int index = static_cast<int>(r.nodes.size() - 1);
  r.nodes[static_cast<size_t>(parent)].entries.push_back(index);
  return index;
}

int EnsureDir(Parser& p, const std::string& path) {
  if (path == "/") return 0;
  int found = FindLive(*p.recipe, path);
  if (found >= 0) {
    if (!p.recipe->nodes[static_cast<size_t>(found)].is_dir) FailLine(p.line, path + " is a file, not a directory");
    return found;
  }
  std::string parent, name;
  SplitPath(p, path, parent, name);
  int parent_index = EnsureDir(p, parent);
  return AddNode(p, parent_index, name, true, false);
}

void NodeOptions(Parser& p, Node& n, const std::vector<std::string>& w, size_t first) {
  for (size_t i = first; i < w.size(); ++i) {
    std::string key, value;
    if (!SplitKey(w[i], key, value)) FailLine(p.line, "expected KEY=VALUE, got '" + w[i] + "'");
    if (key == "fe") {
      n.fe = Location(p, value, "fe", true);
    } else if (key == "form") {
      n.form = ParseForm(p, value);
    } else if (key == "at") {
      n.at = Location(p, value, "at", true);
    } else if (key == "liu") {
      n.liu = static_cast<uint32_t>(Number(p, value, "liu", 2048 - 38 - 255));
    } else if (key == "lea") {
      n.lea = static_cast<uint32_t>(Number(p, value, "lea", 2048 - kFileEntryHeader));
      if (n.lea != 0 && n.lea < 24) FailLine(p.line, "lea is 0 or at least 24 (the extended attribute header)");
      if (n.lea % 4 != 0) FailLine(p.line, "lea must be a multiple of 4");
    } else if (key == "size" && !n.is_dir) {
      n.size = Length(p, value, "size");
      n.size_set = true;
    } else if (key == "content" && !n.is_dir) {
      n.content = ParseContent(p, value);
    } else {
      FailLine(p.line, "unknown option '" + key + "' for " + (n.is_dir ? "dir" : "file"));
    }
  }
}

void NeedArgs(const Parser& p, const std::vector<std::string>& w, size_t min, size_t max, const char* usage) {
  if (w.size() < min || w.size() > max) FailLine(p.line, std::string("usage: ") + usage);
}

std::vector<uint8_t> ParseValue(const Parser& p, const std::string& s) {
  std::vector<uint8_t> out;
  size_t colon = s.find(':');
  if (colon == std::string::npos) FailLine(p.line, "bad patch value '" + s + "' (hex:, u8:, u16:, u32:, u64:, str:)");
  std::string kind = s.substr(0, colon);
  std::string body = s.substr(colon + 1);
  if (kind == "hex") {
    if (body.empty() || body.size() % 2 != 0) FailLine(p.line, "hex: needs an even number of digits");
    for (size_t i = 0; i < body.size(); i += 2) {
      uint64_t b = 0;
      if (!ParseNumber("0x" + body.substr(i, 2), b)) FailLine(p.line, "bad hex digits in '" + s + "'");
      out.push_back(static_cast<uint8_t>(b));
    }
  } else if (kind == "str") {
    out.assign(body.begin(), body.end());
  } else {
    int width = kind == "u8" ? 1 : kind == "u16" ? 2 : kind == "u32" ? 4 : kind == "u64" ? 8 : 0;
    if (width == 0) FailLine(p.line, "bad patch value '" + s + "' (hex:, u8:, u16:, u32:, u64:, str:)");
    uint64_t max = width == 8 ? UINT64_MAX : (1ULL << (8 * width)) - 1;
    uint64_t v = Number(p, body, kind.c_str(), max);
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

void Directive(Parser& p, const std::vector<std::string>& w) {
  Recipe& r = *p.recipe;
  const std::string& d = w[0];
  if (d != "extent" && d != "continue") p.current = -1;

  if (d == "sectors") {
    NeedArgs(p, w, 2, 2, "sectors N");
    r.sectors = Number(p, w[1], "sector count", kMaxSectors);
    p.have_sectors = true;
  } else if (d == "partition") {
    NeedArgs(p, w, 2, 3, "partition START [LENGTH]");
    r.partition_start = Number(p, w[1], "partition start", 0xFFFFFFFFULL);
    r.partition_start_set = true;
    if (w.size() == 3) {
      r.partition_length = Number(p, w[2], "partition length", 0xFFFFFFFFULL);
      r.partition_length_set = true;
    }
  } else if (d == "nsr") {
    NeedArgs(p, w, 2, 2, "nsr 2|3");
    if (w[1] != "2" && w[1] != "3") FailLine(p.line, "nsr is 2 or 3");
    r.nsr = w[1] == "2" ? 2 : 3;
  } else if (d == "iso9660") {
    NeedArgs(p, w, 2, 2, "iso9660 K");
    r.iso_sectors = static_cast<uint32_t>(Number(p, w[1], "iso9660 sector count", 64));
  } else if (d == "anchors") {
    r.anchors.assign(w.begin() + 1, w.end());
    for (const std::string& a : r.anchors) {
      uint64_t v;
      if (a != "last" && !ParseNumber(a, v)) FailLine(p.line, "anchors are sector numbers or 'last': " + a);
    }
  } else if (d == "mvds" || d == "rvds") {
    NeedArgs(p, w, 2, 3, "mvds|rvds SECTOR [LENGTH]");
    uint64_t sector = Number(p, w[1], "sequence sector", 0xFFFFFFFFULL);
    bool length_set = w.size() == 3;
    uint64_t length = length_set ? Length(p, w[2], "sequence length") : 0;
    if (length > 0x3FFFFFFF) FailLine(p.line, "sequence length too large");
    if (d == "mvds") {
      r.mvds_sector = sector;
      r.mvds_length_set = length_set;
      r.mvds_length = length;
    } else {
      r.rvds_sector = sector;
      r.rvds_length_set = length_set;
      r.rvds_length = length;
    }
  } else if (d == "vds-order") {
    NeedArgs(p, w, 2, 8, "vds-order NAME... (pvd iuvd pd pd2 lvd usd td)");
    r.vds_order.assign(w.begin() + 1, w.end());
    for (size_t i = 0; i < r.vds_order.size(); ++i) {
      const std::string& n = r.vds_order[i];
      if (n != "pvd" && n != "iuvd" && n != "pd" && n != "pd2" && n != "lvd" && n != "usd" && n != "td")
        FailLine(p.line, "unknown volume descriptor '" + n + "'");
      for (size_t j = 0; j < i; ++j) {
        if (r.vds_order[j] == n) FailLine(p.line, "volume descriptor '" + n + "' listed twice");
      }
    }
  } else if (d == "pd2") {
    NeedArgs(p, w, 4, 4, "pd2 NUMBER START LENGTH");
    r.pd2 = true;
    r.pd2_number = Number(p, w[1], "partition number", 0xFFFF);
    r.pd2_start = Number(p, w[2], "partition start", 0xFFFFFFFFULL);
    r.pd2_length = Number(p, w[3], "partition length", 0xFFFFFFFFULL);
  } else if (d == "lvid") {
    NeedArgs(p, w, 2, 2, "lvid SECTOR");
    r.lvid_sector = Number(p, w[1], "lvid sector", 0xFFFFFFFFULL);
  } else if (d == "serial") {
    NeedArgs(p, w, 2, 2, "serial N");
    r.serial = Number(p, w[1], "tag serial number", 0xFFFF);
  } else if (d == "bitmap") {
    NeedArgs(p, w, 1, 6, "bitmap none | bitmap [at=LOC] [covers=N] [bits=N] [bytes=N] [extent=N]");
    if (w.size() == 2 && w[1] == "none") {
      r.bitmap = false;
      return;
    }
    r.bitmap = true;
    for (size_t i = 1; i < w.size(); ++i) {
      std::string key, value;
      if (!SplitKey(w[i], key, value)) FailLine(p.line, "expected KEY=VALUE, got '" + w[i] + "'");
      if (key == "at") {
        r.bitmap_at = Location(p, value, "bitmap position", true);
      } else if (key == "covers") {
        r.bitmap_covers = Number(p, value, "bitmap coverage", 0xFFFFFFFFULL);
        r.bitmap_covers_set = true;
      } else if (key == "bits") {
        r.bitmap_bits = Number(p, value, "number of bits", 0xFFFFFFFFULL);
        r.bitmap_bits_set = true;
      } else if (key == "bytes") {
        r.bitmap_bytes = Number(p, value, "number of bytes", 0xFFFFFFFFULL);
        r.bitmap_bytes_set = true;
      } else if (key == "extent") {
        r.bitmap_extent = Number(p, value, "bitmap extent length", 0x3FFFFFFF);
        r.bitmap_extent_set = true;
      } else {
        FailLine(p.line, "unknown bitmap option '" + key + "'");
      }
    }
  } else if (d == "setfree" || d == "setused") {
    NeedArgs(p, w, 3, 3, "setfree|setused LOC COUNT");
    BitRange b;
    b.where = Location(p, w[1], "block", false);
    b.count = Number(p, w[2], "block count", 0xFFFFFFFFULL);
    b.set_free = d == "setfree";
    b.line = p.line;
    r.bit_overrides.push_back(b);
  } else if (d == "fsd") {
    NeedArgs(p, w, 2, 2, "fsd LOC");
    r.fsd = Location(p, w[1], "fsd position", true);
  } else if (d == "dir" || d == "file") {
    if (w.size() < 2) FailLine(p.line, "usage: " + d + " PATH [KEY=VALUE...]");
    bool is_dir = d == "dir";
    int index;
    if (w[1] == "/") {
      if (!is_dir) FailLine(p.line, "the root is a directory");
      index = 0;
    } else {
      std::string parent, name;
      SplitPath(p, w[1], parent, name);
      index = FindLive(r, w[1]);
      if (index >= 0) {
        Node& existing = r.nodes[static_cast<size_t>(index)];
        if (existing.declared || !is_dir) FailLine(p.line, w[1] + " is declared twice");
      } else {
        int parent_index = EnsureDir(p, parent);
        index = AddNode(p, parent_index, name, is_dir, false);
      }
    }
    Node& n = r.nodes[static_cast<size_t>(index)];
    if (n.declared) FailLine(p.line, w[1] + " is declared twice");
    n.declared = true;
    n.line = p.line;
    NodeOptions(p, n, w, 2);
    if (w[1] != "/") p.have_tree = true;
    p.current = index;
  } else if (d == "deleted") {
    if (w.size() < 2) FailLine(p.line, "usage: deleted PATH [icb=LOC] [dir] [liu=N]");
    std::string parent, name;
    SplitPath(p, w[1], parent, name);
    int parent_index = EnsureDir(p, parent);
    bool is_dir = false;
    Loc icb;
    uint32_t liu = 0;
    for (size_t i = 2; i < w.size(); ++i) {
      std::string key, value;
      if (w[i] == "dir") {
        is_dir = true;
      } else if (SplitKey(w[i], key, value) && key == "icb") {
        icb = Location(p, value, "icb", false);
      } else if (SplitKey(w[i], key, value) && key == "liu") {
        liu = static_cast<uint32_t>(Number(p, value, "liu", 2048 - 38 - 255));
      } else {
        FailLine(p.line, "unknown option '" + w[i] + "' for deleted");
      }
    }
    int index = AddNode(p, parent_index, name, is_dir, true);
    r.nodes[static_cast<size_t>(index)].deleted_icb = icb;
    r.nodes[static_cast<size_t>(index)].liu = liu;
    r.nodes[static_cast<size_t>(index)].declared = true;
    p.have_tree = true;
  } else if (d == "extent" || d == "continue") {
    if (p.current < 0 || r.nodes[static_cast<size_t>(p.current)].is_dir)
      FailLine(p.line, d + " lines follow a file line (or its other extent/continue lines)");
    Node& n = r.nodes[static_cast<size_t>(p.current)];
    AdItem item;
    item.line = p.line;
    if (d == "extent") {
      NeedArgs(p, w, 3, 4, "extent LOC|auto LENGTH [type=0|1|2]");
      item.extent.where = Location(p, w[1], "extent position", true);
      item.extent.length = Length(p, w[2], "extent length");
      item.extent.line = p.line;
      if (item.extent.length > 0x3FFFFFFF) FailLine(p.line, "extent length does not fit in 30 bits");
      if (w.size() == 4) {
        std::string key, value;
        if (!SplitKey(w[3], key, value) || key != "type") FailLine(p.line, "expected type=0|1|2, got '" + w[3] + "'");
        item.extent.type = static_cast<int>(Number(p, value, "extent type", 2));
      }
    } else {
      NeedArgs(p, w, 1, 3, "continue [LOC] [len=N]");
      item.is_continue = true;
      for (size_t i = 1; i < w.size(); ++i) {
        std::string key, value;
        if (SplitKey(w[i], key, value) && key == "len") {
          item.aed_length = static_cast<uint32_t>(Number(p, value, "continuation length", 0x3FFFFFFF));
        } else {
          item.aed_where = Location(p, w[i], "continuation position", true);
        }
      }
    }
    n.ads.push_back(item);
    n.explicit_extents = true;
  } else if (d == "erased") {
    NeedArgs(p, w, 2, 4, "erased LOC [LENGTH] [content=C]");
    ErasedSpec e;
    e.line = p.line;
    e.where = Location(p, w[1], "erased position", false);
    e.content.kind = ContentKind::Packs;
    for (size_t i = 2; i < w.size(); ++i) {
      std::string key, value;
      if (SplitKey(w[i], key, value)) {
        if (key != "content") FailLine(p.line, "unknown option '" + key + "' for erased");
        e.content = ParseContent(p, value);
      } else {
        e.length = Length(p, w[i], "erased length");
      }
    }
    r.erased.push_back(e);
  } else if (d == "patch") {
    if (w.size() < 4) FailLine(p.line, "usage: patch TARGET OFFSET VALUE... [fix|fix=OFFSET]");
    PatchSpec patch;
    patch.line = p.line;
    patch.target = w[1];
    patch.offset = Number(p, w[2], "patch offset", 0xFFFFFFFFULL);
    for (size_t i = 3; i < w.size(); ++i) {
      if (w[i] == "fix") {
        patch.fix = true;
        patch.fix_offset = 0;
      } else if (w[i].rfind("fix=", 0) == 0) {
        patch.fix = true;
        patch.fix_offset = Number(p, w[i].substr(4), "tag offset", 0xFFFFFFFFULL);
      } else {
        std::vector<uint8_t> v = ParseValue(p, w[i]);
        patch.bytes.insert(patch.bytes.end(), v.begin(), v.end());
      }
    }
    if (patch.bytes.empty()) FailLine(p.line, "patch has no bytes");
    r.patches.push_back(patch);
  } else {
    FailLine(p.line, "unknown directive '" + d + "'");
  }
}

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

Recipe ParseRecipe(const std::string& text, const std::string& base_dir) {
  Recipe r;
  r.base_dir = base_dir;
  Node root;
  root.path = "/";
  root.is_dir = true;
  r.nodes.push_back(root);

  Parser p;
  p.recipe = &r;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    ++p.line;
    std::string line = text.substr(pos, end - pos);
    if (line.find('\0') != std::string::npos) FailLine(p.line, "NUL byte in recipe");
    std::vector<std::string> words = SplitWords(line);
    if (!words.empty()) Directive(p, words);
    pos = end + 1;
  }
  if (!p.have_sectors) Fail("recipe: no 'sectors N' line (the size of the image)");

  if (!p.have_tree) {
    // The default tree: what a recorder writes.
    p.line = 0;
    int dir = EnsureDir(p, "/DVD_RTAV");
    AddNode(p, dir, "VR_MANGR.IFO", false, false);
    AddNode(p, dir, "VR_MOVIE.VRO", false, false);
  }
  return r;
}
