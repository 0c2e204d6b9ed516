// The CAM library: what the client application manager offers, as the
// records of "QNCAMLIB\QNCAMLIB.DAT" (applications with their files, and
// shared components), read from the file's archive and written back one
// record at a time for clients.
//
// Objects reached through back-references are shared (freed once); null list
// elements are kept, written back as null and skipped by lookups.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "server/services/cam_archive.h"

// The seven classes the library holds, creatable by name.
std::span<const CArchiveClass> CamLibraryClasses();

class CCAMFileInfo final : public CArchiveObject {
 public:
  const char* GetClassName() const override { return "CCAMFileInfo"; }
  void Serialize(CArchive& ar) override;

  std::string m_strFileName;
  std::string m_strDetail;
  uint32_t m_tTime = 0;  // seconds since 1970 UTC, as stored
  uint32_t m_nValue = 0;
};

class CCAMFileAncestor final : public CArchiveObject {
 public:
  const char* GetClassName() const override { return "CCAMFileAncestor"; }
  void Serialize(CArchive& ar) override;

  uint32_t m_tTime = 0;
  std::string m_strText;
};

class CCAMFileArchive final : public CArchiveObject {
 public:
  const char* GetClassName() const override { return "CCAMFileArchive"; }
  void Serialize(CArchive& ar) override;

  CCAMFileInfo m_info;
  std::vector<std::shared_ptr<CCAMFileAncestor>> m_ancestors;
};

class CCAMAppGenInfo final : public CArchiveObject {
 public:
  const char* GetClassName() const override { return "CCAMAppGenInfo"; }
  void Serialize(CArchive& ar) override;

  std::string m_strAppName;
  std::string m_strVendor;
  std::string m_strExtra[3];  // stored and forwarded, not read by the server
  uint8_t m_byExtra = 0;
};

class CCAMAppRecord final : public CArchiveObject {
 public:
  const char* GetClassName() const override { return "CCAMAppRecord"; }
  void Serialize(CArchive& ar) override;
  // The first file of the list with this name, without regard to case.
  const CCAMFileArchive* FindFile(const std::string& fileName) const;

  CCAMAppGenInfo m_info;
  std::vector<std::shared_ptr<CCAMFileArchive>> m_files;
  // Library objects of any of the seven classes; kept and forwarded.
  std::vector<std::shared_ptr<CArchiveObject>> m_objects;
};

class CCAMComGenInfo final : public CArchiveObject {
 public:
  const char* GetClassName() const override { return "CCAMComGenInfo"; }
  void Serialize(CArchive& ar) override;

  std::string m_strText;
};

class CCAMComRecord final : public CArchiveObject {
 public:
  const char* GetClassName() const override { return "CCAMComRecord"; }
  void Serialize(CArchive& ar) override;
  const std::string& GetFileName() const { return m_file.m_info.m_strFileName; }

  CCAMComGenInfo m_info;
  CCAMFileArchive m_file;
};

class CCAMLibrary {
 public:
  // Reads the application list, then the component list. On damage the
  // records read whole before it stay and `error` (when given) says what;
  // returns whether the whole archive read cleanly.
  bool Load(const uint8_t* data, size_t size, std::string* error = nullptr);
  // The whole library as an archive (tests, tools).
  std::vector<uint8_t> Store() const;

  // The first application with this name and vendor, without regard to case.
  const CCAMAppRecord* FindApp(const std::string& appName, const std::string& vendor) const;
  // The first component whose file has this name, without regard to case.
  const CCAMComRecord* FindComponent(const std::string& fileName) const;

  std::vector<std::shared_ptr<CCAMAppRecord>> m_apps;
  std::vector<std::shared_ptr<CCAMComRecord>> m_components;
};

// One record's data (its Serialize, no tag of its own) as a self-contained
// archive. Throws CArchiveException when it cannot be written.
std::vector<uint8_t> StoreRecord(const CArchiveObject& record);
