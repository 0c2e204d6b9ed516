// The object archive the CAM library file is written in: counts, strings,
// object references with class introductions and back-references, over a
// byte range (loading) or a growing buffer (storing).
//
// Loading reads untrusted bytes: every length is checked against the bytes
// left before anything is allocated, and any damage (short data, unknown
// class, bad tag, a reference cycle, an object of a class its place does not
// hold, nesting past kMaxDepth) throws CArchiveException.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

class CArchive;

// Base of every class the archive can hold.
class CArchiveObject {
 public:
  virtual ~CArchiveObject() = default;
  virtual const char* GetClassName() const = 0;
  // Stores or loads the object's own data, as the archive's direction says.
  virtual void Serialize(CArchive& ar) = 0;
};

// A class the archive may create by name.
struct CArchiveClass {
  const char* name;
  std::shared_ptr<CArchiveObject> (*create)();
};

class CArchiveException : public std::runtime_error {
 public:
  explicit CArchiveException(const std::string& what) : std::runtime_error(what) {}
};

class CArchive {
 public:
  // Objects nested inside objects (list elements of list elements ...),
  // counting the depth a back-referenced object brings along. Deeper
  // archives are damage: every walk over the objects (writing, freeing) then
  // stays within a bounded stack.
  static constexpr int kMaxDepth = 32;
  // Classes and objects share one index; below this a tag holds it in 15
  // bits, from it on the long form 0x7FFF + 32 bits is used.
  static constexpr uint32_t kBigIndex = 0x7FFF;

  // Loading from `data` (not owned, must outlive the archive).
  CArchive(std::span<const CArchiveClass> classes, const uint8_t* data, size_t size);
  // Storing into an internal buffer.
  explicit CArchive(std::span<const CArchiveClass> classes);
  CArchive(const CArchive&) = delete;
  CArchive& operator=(const CArchive&) = delete;

  bool IsStoring() const { return m_bStoring; }
  bool IsLoading() const { return !m_bStoring; }
  size_t BytesLeft() const { return m_nSize - m_nPos; }
  const std::vector<uint8_t>& StoredBytes() const { return m_out; }

  // Both directions: writes the value or reads it into the argument.
  void Io(uint8_t& value);
  void Io(uint32_t& value);
  void Io(std::string& text);
  // The version byte every object's data begins with: stores 1 and gives
  // true; loads it and gives true only for 1 (the caller then stops).
  bool IoVersion();
  // A list of references to objects of class T (or of any class for
  // CArchiveObject). Loading keeps the elements read whole before damage.
  template <class T>
  void IoList(std::vector<std::shared_ptr<T>>& list);

  // Object references.
  void WriteObject(const CArchiveObject* object);
  // Null for the null tag.
  std::shared_ptr<CArchiveObject> ReadObject();

  // Primitives.
  uint8_t ReadByte();
  uint16_t ReadWord();
  uint32_t ReadDword();
  std::string ReadString();
  uint32_t ReadCount();
  void WriteByte(uint8_t value);
  void WriteWord(uint16_t value);
  void WriteDword(uint32_t value);
  void WriteString(const std::string& text);
  void WriteCount(size_t count);

 private:
  // One index of the load map: a class or an object.
  struct LoadEntry {
    int classIndex = -1;  // into m_classes, for a class entry
    std::shared_ptr<CArchiveObject> object;
    bool complete = false;
    int height = 0;  // levels of objects it holds, itself included
  };

  [[noreturn]] static void Damage(const char* what);
  const uint8_t* Take(size_t count);
  int ReadClassIntroduction();
  const LoadEntry& ClassEntry(uint32_t index) const;
  std::shared_ptr<CArchiveObject> BackReference(uint32_t index);
  // The height of a finished object counts towards its holder's.
  void NoteChild(int height);
  int FindClass(const char* name) const;
  void WriteTagIndex(uint32_t index, bool isClass);

  std::span<const CArchiveClass> m_classes;
  bool m_bStoring;
  const uint8_t* m_pData = nullptr;
  size_t m_nSize = 0;
  size_t m_nPos = 0;
  std::vector<uint8_t> m_out;

  // Loading: index 0 is the null object.
  std::vector<LoadEntry> m_load;
  // Per object being loaded, the greatest height among what it holds so far.
  std::vector<int> m_open;
  // Storing.
  uint32_t m_nNextIndex = 1;
  std::unordered_map<const CArchiveObject*, uint32_t> m_storedObjects;
  std::unordered_map<int, uint32_t> m_storedClasses;
  int m_nStoreDepth = 0;
};

template <class T>
void CArchive::IoList(std::vector<std::shared_ptr<T>>& list) {
  if (IsStoring()) {
    WriteCount(list.size());
    for (const auto& element : list) WriteObject(element.get());
    return;
  }
  list.clear();
  // No reserve: the count is the file's word, the elements are not.
  const uint32_t count = ReadCount();
  for (uint32_t i = 0; i < count; ++i) {
    std::shared_ptr<CArchiveObject> object = ReadObject();
    std::shared_ptr<T> element = std::dynamic_pointer_cast<T>(object);
    if (object && !element) Damage("an object of a class its list does not hold");
    list.push_back(std::move(element));
  }
}
