#include "server/data/folder_tree.h"

#include <algorithm>
#include <cstdint>

#include "server/data/recordset.h"

// The walk's columns of a folder table, read-only and forward-only.
class CFolderRecordset : public CRecordset {
 public:
  CFolderRecordset(CDatabase* database, const CFolderColumns& columns)
      : CRecordset(database), columns_(columns) {
    m_nFields = columns.writeKey ? 5 : 4;
    m_nDefaultType = forwardOnly;
  }

  std::string GetDefaultSQL() override { return columns_.table; }
  void DoFieldExchange(CFieldExchange& fx) override {
    fx.Column(columns_.id, FieldKind::Long, 0, &row.id);
    fx.Column(columns_.parent, FieldKind::Long, 0, &row.parent);
    // The width the tables' own recordsets read a name with.
    fx.Column(columns_.name, FieldKind::Text, 255, &row.name);
    fx.Column(columns_.readKey, FieldKind::Long, 0, &row.readKey);
    if (columns_.writeKey) fx.Column(columns_.writeKey, FieldKind::Long, 0, &row.writeKey);
  }

  void Read(std::string filter, std::string sort) {
    m_strFilter = std::move(filter);
    m_strSort = std::move(sort);
    Open(forwardOnly, nullptr, readOnly);
  }

  CFolderRow row;

 private:
  const CFolderColumns& columns_;
};

CFolderLevels::CFolderLevels(CDatabase* database, const CFolderColumns& columns, Order top,
                             Order below, bool topListed)
    : database_(database), columns_(columns), top_(top), below_(below), topListed_(topListed) {}

CFolderLevels::~CFolderLevels() = default;

void CFolderLevels::Start(size_t bound) {
  Close();
  rows_.clear();
  children_.clear();
  recordset_ = std::make_unique<CFolderRecordset>(database_, columns_);
  try {
    inMemory_ = ReadWhole(bound);
  } catch (const CDBException&) {
    // A failure that lasts meets the levels' own statements where a walk
    // level by level has always met it, after the rows before it.
    inMemory_ = false;
  }
  recordset_->Close();
  topLevel_.clear();
  if (inMemory_) {
    // Each level in the order it is opened in, sorted once here: the rows
    // came by name.
    for (uint32_t i = 0; i < rows_.size(); ++i) children_[rows_[i].parent].push_back(i);
    const auto byId = [this](std::vector<uint32_t>& level) {
      std::stable_sort(level.begin(), level.end(),
                       [this](uint32_t a, uint32_t b) { return rows_[a].id < rows_[b].id; });
    };
    if (top_ != below_) {
      const auto top = children_.find(kTopLevelParent);
      if (top != children_.end()) topLevel_ = top->second;
      if (top_ == kById) byId(topLevel_);
    }
    if (below_ == kById)
      for (auto& [parent, level] : children_) byId(level);
  } else {
    rows_.clear();
  }
  queue_.clear();
  listed_.clear();
  if (topListed_) listed_.insert(kTopLevelParent);
  OpenLevel(kTopLevelParent, top_);
  if (inMemory_ && top_ != below_) level_ = &topLevel_;
}

bool CFolderLevels::ReadWhole(size_t bound) {
  // Every row with a parent (a row whose parent is NULL is no level's), the
  // bound a parameter so the statement is prepared once per connection.
  recordset_->Read(std::string(columns_.parent) + ">=" + std::to_string(INT32_MIN),
                   std::string(columns_.name) + ", " + columns_.id);
  for (; !recordset_->IsEOF(); recordset_->MoveNext()) {
    if (rows_.size() == bound) return false;
    rows_.push_back(recordset_->row);
  }
  return true;
}

void CFolderLevels::Open(int32_t parent) { OpenLevel(parent, below_); }

void CFolderLevels::OpenLevel(int32_t parent, Order order) {
  Close();
  if (!inMemory_) {
    std::string sort = order == kByName ? std::string(columns_.name) + ", " + columns_.id
                                        : std::string(columns_.id);
    recordset_->Read(std::string(columns_.parent) + "=" + std::to_string(parent),
                     std::move(sort));
    return;
  }
  const auto found = children_.find(parent);
  if (found != children_.end()) level_ = &found->second;
}

bool CFolderLevels::IsEOF() const {
  if (!inMemory_) return !recordset_->IsOpen() || recordset_->IsEOF();
  return level_ == nullptr || position_ >= level_->size();
}

const CFolderRow& CFolderLevels::Row() const {
  return inMemory_ ? rows_[(*level_)[position_]] : recordset_->row;
}

void CFolderLevels::MoveNext() {
  if (!inMemory_) {
    recordset_->MoveNext();
    return;
  }
  if (!IsEOF()) ++position_;
}

void CFolderLevels::Close() {
  if (recordset_) recordset_->Close();
  level_ = nullptr;
  position_ = 0;
}

bool CFolderLevels::NextLevel() {
  Close();
  while (!queue_.empty()) {
    const int32_t parent = queue_.front();
    queue_.pop_front();
    if (!listed_.insert(parent).second) continue;
    Open(parent);
    return true;
  }
  return false;
}
