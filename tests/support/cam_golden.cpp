#include "support/cam_golden.h"

namespace qn::test {

ArchiveBytes& ArchiveBytes::Byte(uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

ArchiveBytes& ArchiveBytes::Word(uint16_t value) {
  bytes_.push_back(static_cast<uint8_t>(value & 0xFF));
  bytes_.push_back(static_cast<uint8_t>(value >> 8));
  return *this;
}

ArchiveBytes& ArchiveBytes::Dword(uint32_t value) {
  Word(static_cast<uint16_t>(value & 0xFFFF));
  return Word(static_cast<uint16_t>(value >> 16));
}

ArchiveBytes& ArchiveBytes::Raw(const ArchiveData& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

ArchiveBytes& ArchiveBytes::Raw(const std::string& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

ArchiveBytes& ArchiveBytes::Str(const std::string& text) {
  if (text.size() < 255) return Byte(static_cast<uint8_t>(text.size())).Raw(text);
  if (text.size() < 0xFFFE) return Str16(text);
  return Str32(text);
}

ArchiveBytes& ArchiveBytes::Str16(const std::string& text) {
  return Byte(0xFF).Word(static_cast<uint16_t>(text.size())).Raw(text);
}

ArchiveBytes& ArchiveBytes::Str32(const std::string& text) {
  return Byte(0xFF).Word(0xFFFF).Dword(static_cast<uint32_t>(text.size())).Raw(text);
}

ArchiveBytes& ArchiveBytes::Count(uint32_t count) {
  if (count < 0xFFFF) return Word(static_cast<uint16_t>(count));
  return Count32(count);
}

ArchiveBytes& ArchiveBytes::Count32(uint32_t count) { return Word(0xFFFF).Dword(count); }

ArchiveBytes& ArchiveBytes::NewClass(const std::string& name, uint16_t schema) {
  return Word(0xFFFF).Word(schema).Word(static_cast<uint16_t>(name.size())).Raw(name);
}

ArchiveBytes& ArchiveBytes::ClassTag(uint16_t index) { return Word(static_cast<uint16_t>(0x8000 | index)); }
ArchiveBytes& ArchiveBytes::ObjectTag(uint16_t index) { return Word(index); }
ArchiveBytes& ArchiveBytes::BigClassTag(uint32_t index) { return Word(0x7FFF).Dword(0x80000000u | index); }
ArchiveBytes& ArchiveBytes::BigObjectTag(uint32_t index) { return Word(0x7FFF).Dword(index); }

ArchiveBytes& ArchiveBytes::FileInfo(const std::string& name, const std::string& detail, uint32_t time,
                                     uint32_t value) {
  return Byte(1).Str(name).Str(detail).Dword(time).Dword(value);
}

ArchiveBytes& ArchiveBytes::AppGenInfo(const std::string& app, const std::string& vendor,
                                       const std::string& a, const std::string& b,
                                       const std::string& c, uint8_t flags) {
  return Byte(1).Str(app).Str(vendor).Str(a).Str(b).Str(c).Byte(flags);
}

ArchiveBytes& ArchiveBytes::ComGenInfo(const std::string& text) { return Byte(1).Str(text); }

ArchiveBytes& ArchiveBytes::Ancestor(uint32_t time, const std::string& text) {
  return Byte(1).Dword(time).Str(text);
}

ArchiveData SimpleLibrary(const std::string& app, const std::string& vendor,
                          const std::vector<std::string>& appFiles,
                          const std::vector<std::pair<std::string, std::string>>& components) {
  ArchiveBytes b;
  uint16_t next = 1;
  b.Count(1).NewClass("CCAMAppRecord");
  next += 2;
  b.Byte(1).AppGenInfo(app, vendor).Count(static_cast<uint32_t>(appFiles.size()));
  uint16_t fileClass = 0;
  for (const std::string& file : appFiles) {
    if (fileClass == 0) {
      b.NewClass("CCAMFileArchive");
      fileClass = next;
      next += 2;
    } else {
      b.ClassTag(fileClass);
      ++next;
    }
    b.Byte(1).FileInfo(file, "", 0, 0).Count(0);
  }
  b.Count(0);
  b.Count(static_cast<uint32_t>(components.size()));
  uint16_t comClass = 0;
  for (const auto& [text, file] : components) {
    if (comClass == 0) {
      b.NewClass("CCAMComRecord");
      comClass = next;
      next += 2;
    } else {
      b.ClassTag(comClass);
      ++next;
    }
    b.Byte(1).ComGenInfo(text).Byte(1).FileInfo(file, "", 0, 0).Count(0);
  }
  return b.bytes();
}

namespace {

// Two applications and a component; every short tag form and a bare object
// of another class in a second list.
ArchiveData Basic() {
  ArchiveBytes b;
  b.Count(2);
  b.NewClass("CCAMAppRecord");  // class 1, object 2
  b.Byte(1).AppGenInfo("Paint", "Brenlo", "Draws", "2.0", "", 1);
  b.Count(2);
  b.NewClass("CCAMFileArchive");  // 3, 4
  b.Byte(1).FileInfo("PAINT.EXE", "main", 1000, 7);
  b.Count(2);
  b.NewClass("CCAMFileAncestor").Ancestor(900, "v1");  // 5, 6
  b.ClassTag(5).Ancestor(950, "v2");                   // 7
  b.ClassTag(3).Byte(1).FileInfo("PAINT.HLP", "help", 1001, 8).Count(0);  // 8
  b.Count(1);
  b.NewClass("CCAMFileInfo").FileInfo("NOTES.TXT", "", 5, 0);  // 9, 10
  b.ClassTag(1).Byte(1).AppGenInfo("Chess", "Games Inc").Count(0).Count(0);  // 11
  b.Count(1);
  b.NewClass("CCAMComRecord");  // 12, 13
  b.Byte(1).ComGenInfo("Shared runtime").Byte(1).FileInfo("QNRT.DLL", "", 2000, 3);
  b.Count(1).ClassTag(5).Ancestor(1999, "old");  // 14
  return b.bytes();
}

// Back-references inside a record, across records and from the component
// list; null elements.
ArchiveData Shared() {
  ArchiveBytes b;
  b.Count(3);
  b.NewClass("CCAMAppRecord").Byte(1).AppGenInfo("Alpha", "V");  // 1, 2
  b.Count(3);
  b.NewClass("CCAMFileArchive").Byte(1).FileInfo("A.DLL", "", 1, 1);  // 3, 4
  b.Count(1).NewClass("CCAMFileAncestor").Ancestor(1, "x");           // 5, 6
  b.Null().ObjectTag(4);
  b.Count(2).ObjectTag(6).Null();
  b.Null();
  b.ClassTag(1).Byte(1).AppGenInfo("Beta", "V");  // 7
  b.Count(1).ObjectTag(4);
  b.Count(1).ObjectTag(2);
  b.Count(1);
  b.NewClass("CCAMComRecord").Byte(1).ComGenInfo("c").Byte(1).FileInfo("A.DLL", "", 1, 1);  // 8, 9
  b.Count(1).ObjectTag(6);
  return b.bytes();
}

// Past 32767 classes and objects: a class introduced at index 0x7FFF, its
// long class tag, long and short back-references.
ArchiveData LongTags() {
  constexpr uint32_t kFill = 0x7FFF - 4;  // objects 4 .. 0x7FFE
  ArchiveBytes b;
  b.Count(1);
  b.NewClass("CCAMAppRecord").Byte(1).AppGenInfo("Big", "V").Count(0);  // 1, 2
  b.Count(kFill + 5);
  b.NewClass("CCAMComGenInfo").ComGenInfo("");  // 3, 4
  for (uint32_t i = 1; i < kFill; ++i) b.ClassTag(3).ComGenInfo("");
  b.NewClass("CCAMFileInfo").FileInfo("F1", "", 1, 1);  // 0x7FFF, 0x8000
  b.BigClassTag(0x7FFF).FileInfo("F2", "", 2, 2);      // 0x8001
  b.BigObjectTag(0x8000);
  b.ObjectTag(4);
  b.ClassTag(3).ComGenInfo("x");  // 0x8002
  b.Count(3);
  b.NewClass("CCAMComRecord").Byte(1).ComGenInfo("one").Byte(1).FileInfo("ONE.DLL", "", 0, 0).Count(0);  // 0x8003, 0x8004
  b.BigClassTag(0x8003).Byte(1).ComGenInfo("two").Byte(1).FileInfo("TWO.DLL", "", 0, 0).Count(0);  // 0x8005
  b.BigObjectTag(0x8004);
  return b.bytes();
}

// The other string and count forms a reader meets.
ArchiveData Forms() {
  ArchiveBytes b;
  b.Count32(1);
  b.NewClass("CCAMAppRecord").Byte(1);
  b.Byte(1).Str16("App16").Str32("Vendor32").Str("").Str(std::string(254, 'a')).Str(std::string(255, 'b')).Byte(7);
  b.Count(0).Count32(0);
  b.Count(0);
  return b.bytes();
}

// A file whose CCAMFileInfo has version 2: its name stays empty.
ArchiveData FileInfoVersion2() {
  ArchiveBytes b;
  b.Count(1);
  b.NewClass("CCAMAppRecord").Byte(1).AppGenInfo("Editor", "V");  // 1, 2
  b.Count(2);
  b.NewClass("CCAMFileArchive").Byte(1).Byte(2).Count(0);  // 3, 4
  b.ClassTag(3).Byte(1).FileInfo("EDIT.EXE", "", 3, 4).Count(0);  // 5
  b.Count(0);
  b.Count(0);
  return b.bytes();
}

// A component first met in an application's second list, then listed.
ArchiveData ComponentInSecondList() {
  ArchiveBytes b;
  b.Count(1);
  b.NewClass("CCAMAppRecord").Byte(1).AppGenInfo("Suite", "V").Count(0);  // 1, 2
  b.Count(1);
  b.NewClass("CCAMComRecord").Byte(1).ComGenInfo("spell").Byte(1).FileInfo("SPELL.DLL", "", 1, 2).Count(0);  // 3, 4
  b.Count(2);
  b.ObjectTag(4);
  b.ClassTag(3).Byte(1).ComGenInfo("grammar").Byte(1).FileInfo("GRAM.DLL", "", 1, 2).Count(0);  // 5
  return b.bytes();
}

// A whole first application (class 1, object 2), then what `second` adds
// as the start of the second one.
ArchiveData AfterOneApp(uint16_t appCount, const ArchiveBytes& second) {
  ArchiveBytes b;
  b.Count(appCount);
  b.NewClass("CCAMAppRecord").Byte(1).AppGenInfo("Kept", "V").Count(0).Count(0);
  b.Raw(second.bytes());
  return b.bytes();
}

std::map<std::string, ArchiveData> MakeGoldens() {
  std::map<std::string, ArchiveData> all;
  all["basic"] = Basic();
  all["shared"] = Shared();
  all["long_tags"] = LongTags();
  all["forms"] = Forms();
  all["fileinfo_v2"] = FileInfoVersion2();
  all["component_in_second_list"] = ComponentInSecondList();
  all["empty"] = ArchiveBytes().Count(0).Count(0).bytes();

  // Each damage keeps the first application ("Kept") and nothing after it.
  all["damage_unknown_class"] = AfterOneApp(2, ArchiveBytes().NewClass("CCAMAppRecordX"));
  all["damage_schema"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).AppGenInfo("B", "V").Count(1).NewClass("CCAMFileArchive", 1));
  all["damage_tag_names_object"] = AfterOneApp(2, ArchiveBytes().ClassTag(2));
  all["damage_tag_unread_object"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).AppGenInfo("B", "V").Count(1).ObjectTag(9));
  all["damage_tag_names_class"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).AppGenInfo("B", "V").Count(0).Count(1).ObjectTag(1));
  all["damage_cycle"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).AppGenInfo("B", "V").Count(0).Count(1).ObjectTag(3));
  all["damage_file_list_class"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).AppGenInfo("B", "V").Count(1).NewClass("CCAMFileAncestor").Ancestor(1, "a"));
  all["damage_component_list_class"] = AfterOneApp(1, ArchiveBytes().Count(1).ObjectTag(2));
  all["damage_wide_string"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).Byte(1).Byte(0xFF).Word(0xFFFE).Raw(std::string("W\0i\0d\0e\0", 8)));
  all["damage_long_count"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).AppGenInfo("B", "V").Count32(0xFFFFFFFFu).Null());
  all["damage_long_string"] = AfterOneApp(
      2, ArchiveBytes().ClassTag(1).Byte(1).Byte(1).Byte(0xFF).Word(0xFFFF).Dword(0xFFFFFFF0u).Raw("abc"));
  {
    ArchiveData truncated = Basic();
    truncated.resize(truncated.size() - 7);  // inside the component
    all["damage_truncated"] = truncated;
  }
  {
    // Applications nested in second lists, deeper than any library needs.
    ArchiveBytes nest;
    nest.ClassTag(1);
    for (int i = 0; i < 40; ++i) nest.Byte(1).AppGenInfo("N", "V").Count(0).Count(1).ClassTag(1);
    nest.Byte(1).AppGenInfo("N", "V").Count(0).Count(0).Count(0);
    all["damage_deep"] = AfterOneApp(2, nest);
  }
  {
    // Each application holds the one before it: a chain of back-references
    // that grows one level per record.
    ArchiveBytes chain;
    chain.Count(60);
    chain.NewClass("CCAMAppRecord").Byte(1).AppGenInfo("C0", "V").Count(0).Count(0);  // 1, 2
    for (uint16_t i = 1; i < 60; ++i)
      chain.ClassTag(1).Byte(1).AppGenInfo("C" + std::to_string(i), "V").Count(0).Count(1).ObjectTag(static_cast<uint16_t>(i + 1));
    chain.Count(0);
    all["damage_deep_chain"] = chain.bytes();
  }
  return all;
}

}  // namespace

const std::map<std::string, ArchiveData>& GoldenLibraries() {
  static const std::map<std::string, ArchiveData> all = MakeGoldens();
  return all;
}

}  // namespace qn::test
