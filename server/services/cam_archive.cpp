#include "server/services/cam_archive.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint16_t kNullTag = 0;
constexpr uint16_t kNewClassTag = 0xFFFF;
constexpr uint16_t kClassTag = 0x8000;
constexpr uint32_t kBigClassTag = 0x80000000u;
constexpr uint16_t kSchema = 0;

}  // namespace

CArchive::CArchive(std::span<const CArchiveClass> classes, const uint8_t* data, size_t size)
    : m_classes(classes), m_bStoring(false), m_pData(data), m_nSize(size) {
  m_load.emplace_back();  // index 0: the null object
}

CArchive::CArchive(std::span<const CArchiveClass> classes) : m_classes(classes), m_bStoring(true) {}

void CArchive::Damage(const char* what) { throw CArchiveException(what); }

const uint8_t* CArchive::Take(size_t count) {
  if (count > m_nSize - m_nPos) Damage("unexpected end of the archive");
  const uint8_t* p = m_pData + m_nPos;
  m_nPos += count;
  return p;
}

uint8_t CArchive::ReadByte() { return *Take(1); }

uint16_t CArchive::ReadWord() {
  const uint8_t* p = Take(2);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t CArchive::ReadDword() {
  const uint8_t* p = Take(4);
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string CArchive::ReadString() {
  uint32_t length = ReadByte();
  if (length == 0xFF) {
    length = ReadWord();
    // 0xFFFE marks wide characters, which this library never holds.
    if (length == 0xFFFE) Damage("a string of wide characters");
    if (length == 0xFFFF) length = ReadDword();
  }
  const uint8_t* p = Take(length);
  return std::string(reinterpret_cast<const char*>(p), length);
}

uint32_t CArchive::ReadCount() {
  const uint16_t count = ReadWord();
  return count == 0xFFFF ? ReadDword() : count;
}

void CArchive::WriteByte(uint8_t value) { m_out.push_back(value); }

void CArchive::WriteWord(uint16_t value) {
  m_out.push_back(static_cast<uint8_t>(value));
  m_out.push_back(static_cast<uint8_t>(value >> 8));
}

void CArchive::WriteDword(uint32_t value) {
  for (int i = 0; i < 4; ++i) m_out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void CArchive::WriteString(const std::string& text) {
  const size_t length = text.size();
  if (length < 0xFF) {
    WriteByte(static_cast<uint8_t>(length));
  } else {
    WriteByte(0xFF);
    if (length < 0xFFFE) {
      WriteWord(static_cast<uint16_t>(length));
    } else {
      if (length > 0xFFFFFFFFu) throw CArchiveException("a string too long for the archive");
      WriteWord(0xFFFF);
      WriteDword(static_cast<uint32_t>(length));
    }
  }
  m_out.insert(m_out.end(), text.begin(), text.end());
}

void CArchive::WriteCount(size_t count) {
  if (count < 0xFFFF) {
    WriteWord(static_cast<uint16_t>(count));
    return;
  }
  if (count > 0xFFFFFFFFu) throw CArchiveException("a list too long for the archive");
  WriteWord(0xFFFF);
  WriteDword(static_cast<uint32_t>(count));
}

void CArchive::Io(uint8_t& value) {
  if (m_bStoring)
    WriteByte(value);
  else
    value = ReadByte();
}

void CArchive::Io(uint32_t& value) {
  if (m_bStoring)
    WriteDword(value);
  else
    value = ReadDword();
}

void CArchive::Io(std::string& text) {
  if (m_bStoring)
    WriteString(text);
  else
    text = ReadString();
}

bool CArchive::IoVersion() {
  if (m_bStoring) {
    WriteByte(1);
    return true;
  }
  return ReadByte() == 1;
}

int CArchive::FindClass(const char* name) const {
  for (size_t i = 0; i < m_classes.size(); ++i)
    if (std::strcmp(m_classes[i].name, name) == 0) return static_cast<int>(i);
  return -1;
}

// ---- storing ----

void CArchive::WriteTagIndex(uint32_t index, bool isClass) {
  if (index < kBigIndex) {
    WriteWord(static_cast<uint16_t>(isClass ? (kClassTag | index) : index));
  } else {
    WriteWord(static_cast<uint16_t>(kBigIndex));
    WriteDword(isClass ? (kBigClassTag | index) : index);
  }
}

void CArchive::WriteObject(const CArchiveObject* object) {
  if (object == nullptr) {
    WriteWord(kNullTag);
    return;
  }
  if (const auto seen = m_storedObjects.find(object); seen != m_storedObjects.end()) {
    WriteTagIndex(seen->second, false);
    return;
  }
  const int classIndex = FindClass(object->GetClassName());
  if (classIndex < 0) throw CArchiveException("an object of a class the archive does not know");
  if (m_nNextIndex >= kBigClassTag - 1) throw CArchiveException("too many objects for the archive");
  if (const auto known = m_storedClasses.find(classIndex); known != m_storedClasses.end()) {
    WriteTagIndex(known->second, true);
  } else {
    const char* name = m_classes[static_cast<size_t>(classIndex)].name;
    const size_t length = std::strlen(name);
    WriteWord(kNewClassTag);
    WriteWord(kSchema);
    WriteWord(static_cast<uint16_t>(length));
    m_out.insert(m_out.end(), name, name + length);
    m_storedClasses.emplace(classIndex, m_nNextIndex++);
  }
  m_storedObjects.emplace(object, m_nNextIndex++);
  if (m_nStoreDepth >= kMaxDepth) throw CArchiveException("objects nested too deep");
  ++m_nStoreDepth;
  // Storing leaves the object as it is; Serialize is shared with loading.
  const_cast<CArchiveObject*>(object)->Serialize(*this);
  --m_nStoreDepth;
}

// ---- loading ----

int CArchive::ReadClassIntroduction() {
  if (ReadWord() != kSchema) Damage("a class of another schema");
  const uint16_t length = ReadWord();
  const uint8_t* p = Take(length);
  const std::string name(reinterpret_cast<const char*>(p), length);
  const int classIndex = FindClass(name.c_str());
  if (classIndex < 0 || name.size() != std::strlen(name.c_str())) Damage("an unknown class");
  LoadEntry entry;
  entry.classIndex = classIndex;
  m_load.push_back(std::move(entry));
  return classIndex;
}

const CArchive::LoadEntry& CArchive::ClassEntry(uint32_t index) const {
  if (index == 0 || index >= m_load.size() || m_load[index].classIndex < 0)
    Damage("a tag that names no class");
  return m_load[index];
}

void CArchive::NoteChild(int height) {
  if (!m_open.empty()) m_open.back() = std::max(m_open.back(), height);
}

std::shared_ptr<CArchiveObject> CArchive::BackReference(uint32_t index) {
  if (index == 0 || index >= m_load.size() || m_load[index].classIndex >= 0)
    Damage("a tag that names no object read");
  const LoadEntry& entry = m_load[index];
  if (!entry.complete) Damage("a reference to an object that holds it");
  if (m_open.size() + static_cast<size_t>(entry.height) > kMaxDepth) Damage("objects nested too deep");
  NoteChild(entry.height);
  return entry.object;
}

std::shared_ptr<CArchiveObject> CArchive::ReadObject() {
  const uint16_t tag = ReadWord();
  int classIndex;
  if (tag == kNullTag) return nullptr;
  if (tag == kNewClassTag) {
    classIndex = ReadClassIntroduction();
  } else if (tag == kBigIndex) {
    const uint32_t big = ReadDword();
    if (!(big & kBigClassTag)) return BackReference(big);
    classIndex = ClassEntry(big & ~kBigClassTag).classIndex;
  } else if (tag & kClassTag) {
    classIndex = ClassEntry(tag & ~kClassTag).classIndex;
  } else {
    return BackReference(tag);
  }

  if (m_open.size() >= kMaxDepth) Damage("objects nested too deep");
  const size_t index = m_load.size();
  {
    LoadEntry entry;
    entry.object = m_classes[static_cast<size_t>(classIndex)].create();
    m_load.push_back(std::move(entry));
  }
  std::shared_ptr<CArchiveObject> object = m_load[index].object;
  m_open.push_back(0);
  object->Serialize(*this);
  const int height = 1 + m_open.back();
  m_open.pop_back();
  m_load[index].complete = true;
  m_load[index].height = height;
  NoteChild(height);
  return object;
}
