#include "server/services/cam_library.h"

#include <strings.h>

#include <array>

namespace {

template <class T>
std::shared_ptr<CArchiveObject> Create() {
  return std::make_shared<T>();
}

const std::array<CArchiveClass, 7> kClasses = {{
    {"CCAMAppRecord", &Create<CCAMAppRecord>},
    {"CCAMAppGenInfo", &Create<CCAMAppGenInfo>},
    {"CCAMComRecord", &Create<CCAMComRecord>},
    {"CCAMComGenInfo", &Create<CCAMComGenInfo>},
    {"CCAMFileArchive", &Create<CCAMFileArchive>},
    {"CCAMFileInfo", &Create<CCAMFileInfo>},
    {"CCAMFileAncestor", &Create<CCAMFileAncestor>},
}};

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::span<const CArchiveClass> CamLibraryClasses() { return kClasses; }

// A version byte other than 1 leaves the rest of the object's data unread
// and its members empty.

void CCAMFileInfo::Serialize(CArchive& ar) {
  if (!ar.IoVersion()) return;
  ar.Io(m_strFileName);
  ar.Io(m_strDetail);
  ar.Io(m_tTime);
  ar.Io(m_nValue);
}

void CCAMFileAncestor::Serialize(CArchive& ar) {
  if (!ar.IoVersion()) return;
  ar.Io(m_tTime);
  ar.Io(m_strText);
}

void CCAMFileArchive::Serialize(CArchive& ar) {
  if (!ar.IoVersion()) return;
  m_info.Serialize(ar);
  ar.IoList(m_ancestors);
}

void CCAMAppGenInfo::Serialize(CArchive& ar) {
  if (!ar.IoVersion()) return;
  ar.Io(m_strAppName);
  ar.Io(m_strVendor);
  for (std::string& text : m_strExtra) ar.Io(text);
  ar.Io(m_byExtra);
}

void CCAMAppRecord::Serialize(CArchive& ar) {
  if (!ar.IoVersion()) return;
  m_info.Serialize(ar);
  ar.IoList(m_files);
  ar.IoList(m_objects);
}

const CCAMFileArchive* CCAMAppRecord::FindFile(const std::string& fileName) const {
  for (const auto& file : m_files)
    if (file && SameText(file->m_info.m_strFileName, fileName)) return file.get();
  return nullptr;
}

void CCAMComGenInfo::Serialize(CArchive& ar) {
  if (!ar.IoVersion()) return;
  ar.Io(m_strText);
}

void CCAMComRecord::Serialize(CArchive& ar) {
  if (!ar.IoVersion()) return;
  m_info.Serialize(ar);
  m_file.Serialize(ar);
}

bool CCAMLibrary::Load(const uint8_t* data, size_t size, std::string* error) {
  m_apps.clear();
  m_components.clear();
  CArchive ar(CamLibraryClasses(), data, size);
  try {
    ar.IoList(m_apps);
    ar.IoList(m_components);
  } catch (const CArchiveException& e) {
    if (error != nullptr) *error = e.what();
    return false;
  }
  return true;
}

std::vector<uint8_t> CCAMLibrary::Store() const {
  CArchive ar(CamLibraryClasses());
  auto apps = m_apps;
  auto components = m_components;
  ar.IoList(apps);
  ar.IoList(components);
  return ar.StoredBytes();
}

const CCAMAppRecord* CCAMLibrary::FindApp(const std::string& appName,
                                          const std::string& vendor) const {
  for (const auto& app : m_apps)
    if (app && SameText(app->m_info.m_strAppName, appName) && SameText(app->m_info.m_strVendor, vendor))
      return app.get();
  return nullptr;
}

const CCAMComRecord* CCAMLibrary::FindComponent(const std::string& fileName) const {
  for (const auto& component : m_components)
    if (component && SameText(component->GetFileName(), fileName)) return component.get();
  return nullptr;
}

std::vector<uint8_t> StoreRecord(const CArchiveObject& record) {
  CArchive ar(CamLibraryClasses());
  const_cast<CArchiveObject&>(record).Serialize(ar);
  return ar.StoredBytes();
}
