// Read access to YAML documents by key path, over yaml-cpp.

#include "middleware/yconfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
// yaml-cpp's parser recurses once per nesting level. Since 0.7 it stops at
// 500 levels with YAML::DeepRecursion (about 256 KiB of stack at that depth,
// measured), which is the nesting guard this layer relies on: a pre-scan
// could not bound the depth soundly without re-implementing the YAML
// scanner. Including the header makes an older, unguarded yaml-cpp fail to
// build instead of crashing at run time.
#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/parser.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// One node of a parsed document. Children are ids in the document's node
// table, so no node owns another: aliases (even cyclic ones) are plain
// edges, and releasing a document never recurses.
struct YamlNode {
  enum class Kind : unsigned char { kNull, kScalar, kSequence, kMap };

  Kind kind = Kind::kNull;
  std::string scalar;
  // Sequence: element ids. Mapping: key id and value id, alternating.
  std::vector<std::size_t> children;
};

}  // namespace

// The node table of one document; node 0 is the top-level mapping.
struct yconfig {
  std::vector<YamlNode> nodes;
};

namespace {

// Closes the descriptor it holds.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  const int fd_;
};

// Reads a whole regular file of at most yconfig_max_file_bytes. O_NONBLOCK
// keeps a FIFO from blocking the open; the size is checked again while
// reading because the file may grow, and /proc files report size 0.
std::optional<std::string> ReadRegularFile(const char* path) {
  const ScopedFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::size_t>(info.st_size) > yconfig_max_file_bytes) {
    return std::nullopt;
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(info.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (text.size() + static_cast<std::size_t>(n) > yconfig_max_file_bytes) return std::nullopt;
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

// YAML streams may not hold C0 controls other than tab, LF and CR, nor DEL;
// finding one means the file is binary (or UTF-16/32, which is not accepted).
bool IsYamlText(const std::string& text) {
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7f) {
      return false;
    }
  }
  return true;
}

// Turns the parser's events for one document into a node table. The
// collections still open are kept on an explicit stack.
class NodeTableBuilder : public YAML::EventHandler {
 public:
  explicit NodeTableBuilder(std::vector<YamlNode>* nodes) : nodes_(*nodes) {}

  void OnDocumentStart(const YAML::Mark& mark) override { start_pos_ = mark.pos; }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t anchor) override {
    Add(YamlNode::Kind::kNull, anchor);
  }
  void OnAlias(const YAML::Mark&, YAML::anchor_t anchor) override {
    // The parser has already refused aliases of unknown anchors.
    Attach(anchors_.at(anchor));
  }
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                const std::string& value) override {
    nodes_[Add(YamlNode::Kind::kScalar, anchor)].scalar = value;
  }
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    open_.push_back(Add(YamlNode::Kind::kSequence, anchor));
  }
  void OnSequenceEnd() override { open_.pop_back(); }
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    open_.push_back(Add(YamlNode::Kind::kMap, anchor));
  }
  void OnMapEnd() override { open_.pop_back(); }

  // Where the document began in the text; -1 before it has begun.
  int start_pos() const { return start_pos_; }

 private:
  std::size_t Add(YamlNode::Kind kind, YAML::anchor_t anchor) {
    const std::size_t id = nodes_.size();
    nodes_.emplace_back().kind = kind;
    if (anchor != YAML::NullAnchor) anchors_[anchor] = id;
    Attach(id);
    return id;
  }
  void Attach(std::size_t id) {
    if (!open_.empty()) nodes_[open_.back()].children.push_back(id);
  }

  std::vector<YamlNode>& nodes_;
  int start_pos_ = -1;
  std::vector<std::size_t> open_;
  std::unordered_map<YAML::anchor_t, std::size_t> anchors_;
};

// The first document, when it is a mapping and no later document has content.
std::optional<std::vector<YamlNode>> ParseMappingDocument(const std::string& text) {
  try {
    std::istringstream input(text);
    YAML::Parser parser(input);
    std::vector<YamlNode> first;
    NodeTableBuilder first_builder(&first);
    if (!parser.HandleNextDocument(first_builder) || first.empty() ||
        first.front().kind != YamlNode::Kind::kMap) {
      return std::nullopt;
    }
    // On some malformed tails (" :\n,") yaml-cpp 0.7 keeps returning an
    // empty document without moving on: a later document must start past
    // the previous one, and there cannot be more documents than characters.
    int previous_start = first_builder.start_pos();
    for (std::size_t count = 0; count <= text.size(); ++count) {
      std::vector<YamlNode> later;
      NodeTableBuilder later_builder(&later);
      if (!parser.HandleNextDocument(later_builder)) return first;
      if (later.size() != 1 || later.front().kind != YamlNode::Kind::kNull ||
          later_builder.start_pos() <= previous_start) {
        return std::nullopt;
      }
      previous_start = later_builder.start_pos();
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

// The value under the scalar key `key` (of `length` bytes) in `map`.
const YamlNode* FindValue(const yconfig& doc, const YamlNode& map, const char* key,
                          std::size_t length) {
  for (std::size_t i = 0; i + 1 < map.children.size(); i += 2) {
    const YamlNode& candidate = doc.nodes[map.children[i]];
    if (candidate.kind == YamlNode::Kind::kScalar && candidate.scalar.size() == length &&
        std::memcmp(candidate.scalar.data(), key, length) == 0) {
      return &doc.nodes[map.children[i + 1]];
    }
  }
  return nullptr;
}

// Parses "[digits]" at `*cursor` into `*index` and moves past it.
bool ParseIndex(const char** cursor, std::size_t* index) {
  const char* p = *cursor + 1;
  std::size_t value = 0;
  const char* const digits = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<std::size_t>(*p - '0');
    if (value > INT_MAX) return false;
  }
  if (p == digits || *p != ']') return false;
  *index = value;
  *cursor = p + 1;
  return true;
}

// The node at `key_path`, or null.
const YamlNode* Resolve(const yconfig* doc, const char* key_path) {
  if (doc == nullptr || key_path == nullptr) return nullptr;
  const YamlNode* node = &doc->nodes.front();
  const char* p = key_path;
  while (*p != '\0') {
    if (*p != '/' || node->kind != YamlNode::Kind::kMap) return nullptr;
    ++p;
    const std::size_t key_length = std::strcspn(p, "/[");
    node = FindValue(*doc, *node, p, key_length);
    if (node == nullptr) return nullptr;
    p += key_length;
    while (*p == '[') {
      std::size_t index = 0;
      if (!ParseIndex(&p, &index) || node->kind != YamlNode::Kind::kSequence ||
          index >= node->children.size()) {
        return nullptr;
      }
      node = &doc->nodes[node->children[index]];
    }
  }
  return node;
}

}  // namespace

yconfig* yconfig_create(const char* path) {
  if (path == nullptr) return nullptr;
  try {
    const std::optional<std::string> text = ReadRegularFile(path);
    if (!text || !IsYamlText(*text)) return nullptr;
    std::optional<std::vector<YamlNode>> nodes = ParseMappingDocument(*text);
    if (!nodes) return nullptr;
    return std::make_unique<yconfig>(yconfig{std::move(*nodes)}).release();
  } catch (...) {
    return nullptr;
  }
}

int yconfig_length(const yconfig* doc, const char* key_path) {
  const YamlNode* const node = Resolve(doc, key_path);
  if (node == nullptr || node->kind != YamlNode::Kind::kSequence) return -1;
  return static_cast<int>(node->children.size());
}

const char* yconfig_get(const yconfig* doc, const char* key_path) {
  const YamlNode* const node = Resolve(doc, key_path);
  if (node == nullptr || node->kind != YamlNode::Kind::kScalar) return nullptr;
  return node->scalar.c_str();
}

void yconfig_destroy(yconfig* doc) {
  std::unique_ptr<yconfig> owned(doc);
}
