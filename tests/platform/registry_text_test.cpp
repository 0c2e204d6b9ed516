#include "platform/registry_text.h"

#include <gtest/gtest.h>

using namespace qn::reg;
using namespace qn::reg::text;

namespace {

const Value* FindValue(const Document& doc, std::string_view key, std::string_view name) {
  size_t i = doc.Find(key);
  if (i == std::string::npos) return nullptr;
  for (const auto& e : doc.keys[i].values)
    if (EqualFold(e.value.name, name)) return &e.value;
  return nullptr;
}

Document MustParse(std::string_view text) {
  Document doc;
  std::string error;
  EXPECT_TRUE(Parse(text, doc, error)) << error;
  return doc;
}

}  // namespace

// A file as an operator writes or exports it.
TEST(RegistryText, HandWrittenFileReadsAsWritten) {
  const Document doc = MustParse(
      "\xEF\xBB\xBFREGEDIT4\r\n"
      "\r\n"
      "; settings of the test installation\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlo\\Quillnet Server\\General]\n"
      "\"ODBCType\"=\"MSSQL\"\n"
      "\"Path\"=\"C:\\\\Quillnet\\\\\"\n"
      "\"Quote\"=\"say \\\"hi\\\" \\n\"\n"
      "@=\"default\"\n"
      "\"Timeout\"=dword:0000000F\n"
      "\"Short\"=dword:7\n"
      "\"Home\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,00\n"
      "\"Logging\"=hex(7):61,00,62,63,\\\n"
      "  00,00\n"
      "\"Blob\"=hex:de,ad,BE,ef\n"
      "\"Empty\"=hex:\n"
      "\"Other\"=hex(b):01,02\n"
      "\n"
      "[HKEY_CLASSES_ROOT\\QuillnetServer.Monitor\\CLSID]\n"
      "@=\"{1234}\"\n"
      "[HKEY_CURRENT_USER\\Elsewhere]\n"
      "\"kept\"=\"but not served\"\n");
  const std::string general = "software\\brenlo\\quillnet server\\GENERAL";
  ASSERT_NE(FindValue(doc, general, "odbctype"), nullptr);
  EXPECT_EQ(AsString(*FindValue(doc, general, "ODBCType")), "MSSQL");
  EXPECT_EQ(FindValue(doc, general, "odbctype")->name, "ODBCType");
  EXPECT_EQ(AsString(*FindValue(doc, general, "Path")), "C:\\Quillnet\\");
  EXPECT_EQ(AsString(*FindValue(doc, general, "Quote")), "say \"hi\" \\n");
  EXPECT_EQ(AsString(*FindValue(doc, general, "")), "default");
  EXPECT_EQ(FindValue(doc, general, "Timeout")->data, (std::vector<uint8_t>{15, 0, 0, 0}));
  EXPECT_EQ(FindValue(doc, general, "Short")->data, (std::vector<uint8_t>{7, 0, 0, 0}));
  EXPECT_EQ(FindValue(doc, general, "Home")->type, kExpandString);
  EXPECT_EQ(AsString(*FindValue(doc, general, "Home")), "%SystemRoot%");
  EXPECT_EQ(AsMultiString(*FindValue(doc, general, "Logging")), (std::vector<std::string>{"a", "bc"}));
  EXPECT_EQ(FindValue(doc, general, "Blob")->data, (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef}));
  EXPECT_EQ(FindValue(doc, general, "Blob")->type, kBinary);
  EXPECT_TRUE(FindValue(doc, general, "Empty")->data.empty());
  EXPECT_EQ(FindValue(doc, general, "Other")->type, 0xbu);
  EXPECT_EQ(AsString(*FindValue(doc, "SOFTWARE\\Classes\\QuillnetServer.Monitor\\CLSID", "")), "{1234}");
  EXPECT_EQ(doc.Find("Elsewhere"), std::string::npos);
  // Values keep file order.
  const auto& values = doc.keys[doc.Find(general)].values;
  ASSERT_EQ(values.size(), 11u);
  EXPECT_EQ(values[0].value.name, "ODBCType");
  EXPECT_EQ(values[10].value.name, "Other");
}

TEST(RegistryText, EveryTypeRoundTrips) {
  Document doc;
  text::Key key{"SOFTWARE\\Round Trip", false, {}, {}};
  std::vector<uint8_t> long_blob;
  for (int i = 0; i < 300; ++i) long_blob.push_back(static_cast<uint8_t>(i));
  const std::vector<Value> values = {
      MakeString("plain", "text with \\ and \" and ~\ttab"),
      MakeString("", "the default value"),
      MakeString("odd \"name\" \\ here", "x"),
      MakeString("empty", ""),
      Value{"two lines", kString, {'a', '\n', 'b', 0}},
      Value{"inner zero", kString, {'a', 0, 'b', 0}},
      Value{"unterminated", kString, {'a', 'b'}},
      Value{"no data", kString, {}},
      MakeExpandString("expand", "%SystemRoot%\\System32\\x.dll"),
      MakeDword("dword", 0xfedcba98),
      Value{"short dword", kDword, {1, 2}},
      MakeMultiString("multi", {"one", "two", "three"}),
      MakeMultiString("empty multi", {}),
      MakeBinary("blob", long_blob),
      MakeBinary("empty blob", {}),
      Value{"type 11", 11, {1, 2, 3}},
      Value{"none", kNone, {}},
      MakeString("utf8", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"),
  };
  for (const auto& v : values) key.values.push_back(Entry{v, {}});
  doc.keys.push_back(key);
  doc.keys.push_back(text::Key{"SOFTWARE\\Round Trip\\Sub", false, {}, {}});
  doc.Reindex();

  const std::string text = Format(doc);
  const Document back = MustParse(text);
  ASSERT_EQ(back.keys.size(), 2u);
  ASSERT_EQ(back.keys[0].values.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(values[i].name);
    EXPECT_EQ(back.keys[0].values[i].value.name, values[i].name);
    EXPECT_EQ(back.keys[0].values[i].value.type, values[i].type);
    EXPECT_EQ(back.keys[0].values[i].value.data, values[i].data);
  }
  EXPECT_EQ(Format(back), text);
  // Long data is continued over lines of export width.
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    EXPECT_LE(end - start, 80u);
  }
}

TEST(RegistryText, OperatorsCommentsAndUnknownLinesSurviveARewrite) {
  const char* input =
      "REGEDIT4\n"
      "; top comment\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "; about the value\n"
      "\"v\"=\"1\"\n"
      "this line means nothing\n"
      "\"w\"=dword:00000002\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "\"v\"=\"2\"\n"
      "; last words\n";
  const Document doc = MustParse(input);
  ASSERT_EQ(doc.keys.size(), 1u);  // a key written twice is one key
  EXPECT_EQ(AsString(*FindValue(doc, "a", "V")), "2");
  const std::string out = Format(doc);
  for (const char* kept : {"; top comment\n", "; about the value\n", "this line means nothing\n",
                           "; last words\n"})
    EXPECT_NE(out.find(kept), std::string::npos) << kept;
  EXPECT_EQ(Format(MustParse(out)), out);
}

// Whatever an editor leaves in the file, a rewrite must read back as the
// same document: nothing the parser accepted may change on the way out.
TEST(RegistryText, DamagedFilesRewriteStably) {
  const std::string sample =
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"s\"=\"x\\\\y\\\"z\"\n@=\"d\"\n\"n\"=dword:0000000f\n"
      "\"m\"=hex(7):61,00,62,00,00\n\"b\"=hex:01,02,\\\n  03\n; note\n[HKEY_CLASSES_ROOT\\C]\n"
      "\"e\"=hex(2):25,41,25,00\n";
  const std::string alphabet = "[]\\\"=@:,;()\n hexdword0fA";
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  int parsed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = sample;
    for (int edits = 1 + next() % 4; edits > 0; --edits) {
      const size_t at = 9 + next() % (text.size() - 9);
      switch (next() % 3) {
        case 0: text.erase(at, 1 + next() % 3); break;
        case 1: text.insert(at, 1, alphabet[next() % alphabet.size()]); break;
        default: text[at] = alphabet[next() % alphabet.size()]; break;
      }
      if (text.size() < 12) text = sample;
    }
    Document doc;
    std::string error;
    if (!Parse(text, doc, error)) continue;
    ++parsed;
    const std::string once = Format(doc);
    Document again;
    ASSERT_TRUE(Parse(once, again, error)) << text;
    ASSERT_EQ(Format(again), once) << text;
  }
  EXPECT_GT(parsed, 2500);
}

TEST(RegistryText, HeadersAndEncodings) {
  Document doc;
  std::string error;
  EXPECT_FALSE(Parse("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n", doc, error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(Parse("", doc, error));
  EXPECT_TRUE(doc.keys.empty());

  // The version 5 format writes expandable and multi-strings as UTF-16LE.
  doc = MustParse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "\"e\"=hex(2):25,00,58,00,25,00,00,00\n"
      "\"m\"=hex(7):61,00,00,00,ac,20,00,00,00,00\n");
  EXPECT_EQ(AsString(*FindValue(doc, "A", "e")), "%X%");
  EXPECT_EQ(AsMultiString(*FindValue(doc, "A", "m")), (std::vector<std::string>{"a", "\xE2\x82\xAC"}));

  // Key paths: trailing separators, empty components, other hives.
  doc = MustParse(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\]\n\"x\"=\"1\"\n[HKEY_LOCAL_MACHINE\\A\\\\C]\n\"y\"=\"2\"\n");
  EXPECT_NE(doc.Find("A\\B"), std::string::npos);
  ASSERT_EQ(doc.keys.size(), 2u);
  EXPECT_TRUE(doc.keys[1].foreign);
  EXPECT_NE(Format(doc).find("[HKEY_LOCAL_MACHINE\\A\\\\C]\n\"y\"=\"2\"\n"), std::string::npos);
}
