#include "middleware/yconfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

struct DocumentDeleter {
  void operator()(yconfig* doc) const { yconfig_destroy(doc); }
};
using Document = std::unique_ptr<yconfig, DocumentDeleter>;

Document Open(const std::string& path) {
  return Document(yconfig_create(path.c_str()));
}

Document OpenAccessFixture() {
  return Open(CORVANE_SOURCE_DIR "/tests/config/fixtures/access.yaml");
}

std::string Repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(YconfigGet, ScalarsComeBackAsWritten) {
  const Document doc = OpenAccessFixture();
  ASSERT_NE(doc, nullptr);
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"/plain", "hello world"},
      {"/single", "it's \"quoted\""},
      {"/double", "tab\there \"q\" \u00e9"},
      {"/hex", "0x10"},
      {"/octal", "007"},
      {"/float", "1.50"},
      {"/bool", "True"},
      {"/negative", "-1"},
      {"/literal", "line one\nline two\n"},
      {"/folded", "folded text\n"},
      {"/multiline_plain", "first second"},
      {"/empty_quoted", ""},
      {"/quoted_null", "null"},
      {"/anchor", "anchored"},
      {"/alias", "anchored"},
      {"/tagged", "5"},
      {"/quoted key", "by quoted key"},
      {"/nested/map/key", "value"},
      {"/nested/list[0]", "first"},
      {"/nested/list[1]/second", "2"},
      {"/nested/list[2][0]", "a"},
      {"/nested/list[2][1][1]", "c"},
      {"/flow_map/x", "1"},
      {"/flow_map/y[1]", "3"},
      {"/unicode", "gr\u00fc\u00dfe"},
      {"/cycle[1]", "end"},
      {"/cycle[0][0][1]", "end"},
      {"/duplicate", "first"},
  };
  // Texts stay valid while later queries run.
  std::vector<const char*> texts;
  for (const auto& [path, expected] : cases) texts.push_back(yconfig_get(doc.get(), path));
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_NE(texts[i], nullptr) << cases[i].first;
    EXPECT_STREQ(texts[i], cases[i].second) << cases[i].first;
  }
}

TEST(YconfigGet, NullForAbsentNullAndNonScalarValues) {
  const Document doc = OpenAccessFixture();
  ASSERT_NE(doc, nullptr);
  for (const char* path :
       {// YAML nulls
        "/tilde", "/null_word", "/no_value",
        // mappings and sequences
        "", "/nested", "/nested/map", "/nested/list", "/nested/list[1]", "/nested/list[2]",
        "/flow_map/z", "/empty_list",
        // missing keys and indices out of range
        "/missing", "/nested/missing", "/nested/map/key/deeper", "/nested/list[3]",
        "/empty_list[0]", "/nested/list[2][2]", "/nested/list[99999999999999999999]",
        // a key on a sequence, an index on a mapping or a scalar
        "/nested/list/0", "/nested/map[0]", "/plain[0]",
        // malformed paths
        "plain", "/plain/", "//plain", "/nested/list[", "/nested/list[]", "/nested/list[-1]",
        "/nested/list[x]", "/nested/list[0", "/nested/list[0]x", "/nested/list [0]", "/quoted_key",
        "/Plain", "/plai", "/plainx", "/nest/map", "/complex", "/cycle[0]", "/"}) {
    EXPECT_EQ(yconfig_get(doc.get(), path), nullptr) << path;
  }
  EXPECT_EQ(yconfig_get(doc.get(), nullptr), nullptr);
  EXPECT_EQ(yconfig_get(nullptr, "/plain"), nullptr);
}

TEST(YconfigLength, CountsSequencesOnly) {
  const Document doc = OpenAccessFixture();
  ASSERT_NE(doc, nullptr);
  const std::vector<std::pair<const char*, int>> cases = {
      {"/nested/list", 3},   {"/nested/list[2]", 2}, {"/nested/list[2][1]", 2},
      {"/flow_map/y", 2},    {"/empty_list", 0},     {"", -1},
      {"/nested", -1},       {"/flow_map/z", -1},    {"/plain", -1},
      {"/tilde", -1},        {"/missing", -1},       {"/nested/list[3]", -1},
      {"/nested/list(", -1}, {"/cycle[0][0][0]", 2}};
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(yconfig_length(doc.get(), path), expected) << path;
  }
  EXPECT_EQ(yconfig_length(doc.get(), nullptr), -1);
  EXPECT_EQ(yconfig_length(nullptr, "/nested/list"), -1);
  yconfig_destroy(nullptr);
}

struct RefusedFile {
  const char* name;
  std::string content;
};

// Files that must give no document; deep ones exceed the parser's nesting
// guard in each of the ways YAML can nest.
TEST(YconfigCreate, RefusesFilesThatAreNotAMappingDocument) {
  const corvane_test::TempDir dir;
  ASSERT_TRUE(!dir.path().empty());
  const int deep = 100000;
  std::string deep_block;
  for (int i = 0; i < 2000; ++i) deep_block += std::string(i, ' ') + "a:\n";
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>(i * 7);
  const std::vector<RefusedFile> cases = {
      {"empty", ""},
      {"blank", "\n  \n"},
      {"comment_only", "# nothing here\n"},
      {"top_sequence", "- rules\n"},
      {"top_scalar", "rules\n"},
      {"top_null", "~\n"},
      {"unclosed_flow", "rules: [1, 2\n"},
      {"bad_indentation", "rules:\n  - a: 1\n   b: 2\n"},
      {"map_in_plain_value", "a: b: c\n"},
      {"unknown_alias", "a: *nowhere\n"},
      {"second_document", "a: 1\n---\nb: 2\n"},
      // yaml-cpp returns endless empty documents for this tail.
      {"stuck_empty_documents", " :\n,"},
      {"stuck_after_rules", "rules: []\n :\n,"},
      {"binary", binary},
      {"nul_byte", std::string("a: 1\n\0\n", 7)},
      {"control_character", "a: \x01\n"},
      {"utf16", std::string("\xff\xfe"
                            "a\0:\0 \0"
                            "1\0\n\0",
                            12)},
      {"deep_flow_sequence", "a: " + std::string(deep, '[') + std::string(deep, ']') + "\n"},
      {"deep_flow_mapping", "a: " + Repeat("{a: ", deep) + "1" + std::string(deep, '}') + "\n"},
      {"deep_unclosed_flow", "a: " + std::string(deep, '[')},
      {"deep_compact_sequence", "a:\n  " + Repeat("- ", deep) + "x\n"},
      {"deep_explicit_keys", Repeat("? ", deep) + "x\n"},
      {"deep_block_mapping", deep_block},
  };
  for (const RefusedFile& c : cases) {
    EXPECT_EQ(Open(dir.WriteFile(c.name, c.content)), nullptr) << c.name;
  }
}

TEST(YconfigCreate, RefusesPathsThatAreNotReadableRegularFiles) {
  const corvane_test::TempDir dir;
  ASSERT_TRUE(!dir.path().empty());
  const std::string fifo = dir.PathOf("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO without a writer must not block the open.
  for (const std::string& path : {dir.PathOf("missing.yaml"), dir.PathOf(""), fifo,
                                  std::string("/dev/null"), std::string("/dev/zero")}) {
    EXPECT_EQ(Open(path), nullptr) << path;
  }
  EXPECT_EQ(yconfig_create(nullptr), nullptr);
}

TEST(YconfigCreate, RefusesUnreadableFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  const corvane_test::TempDir dir;
  ASSERT_TRUE(!dir.path().empty());
  const std::string path = dir.WriteFile("locked.yaml", "a: 1\n");
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  EXPECT_EQ(Open(path), nullptr);
}

TEST(YconfigCreate, SizeLimitIsInclusive) {
  const corvane_test::TempDir dir;
  ASSERT_TRUE(!dir.path().empty());
  const std::string head = "a: 1\n#";
  std::string at_limit = head + std::string(yconfig_max_file_bytes - head.size() - 1, 'x') + "\n";
  ASSERT_EQ(at_limit.size(), yconfig_max_file_bytes);
  const Document doc = Open(dir.WriteFile("at_limit.yaml", at_limit));
  ASSERT_NE(doc, nullptr);
  EXPECT_STREQ(yconfig_get(doc.get(), "/a"), "1");

  at_limit.insert(head.size(), "x");
  EXPECT_EQ(Open(dir.WriteFile("over_limit.yaml", at_limit)), nullptr);

  // Hundreds of megabytes are refused from the size alone (a sparse file).
  const std::string huge = dir.WriteFile("huge.yaml", "a: 1\n");
  ASSERT_EQ(truncate(huge.c_str(), off_t{300} << 20), 0);
  EXPECT_EQ(Open(huge), nullptr);
}

TEST(YconfigCreate, AcceptsModerateNestingAndTrailingEmptyDocuments) {
  const corvane_test::TempDir dir;
  ASSERT_TRUE(!dir.path().empty());
  const int depth = 200;
  const Document nested = Open(dir.WriteFile(
      "nested.yaml", "a: " + std::string(depth, '[') + "x" + std::string(depth, ']') + "\n"));
  ASSERT_NE(nested, nullptr);
  EXPECT_STREQ(yconfig_get(nested.get(), ("/a" + Repeat("[0]", depth)).c_str()), "x");

  for (const char* text : {"a: 1\n---\n", "---\na: 1\n...\n",
                           "\xef\xbb\xbf"
                           "a: 1\r\n"}) {
    const Document doc = Open(dir.WriteFile("documents.yaml", text));
    ASSERT_NE(doc, nullptr) << text;
    EXPECT_STREQ(yconfig_get(doc.get(), "/a"), "1") << text;
  }
}

}  // namespace
