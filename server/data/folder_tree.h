// Folder tables and the walks over them. The file library's folders and the
// message folders are each one table naming every folder's parent; a walk
// lists them breadth first, level by level. CFolderLevels is such a walk: it
// gives the levels, from the whole table read in one statement when it is
// small, otherwise (and as it always did) one statement per level, and it
// keeps which levels are still to come. The services keep only their rules
// of which folder is shown and which is descended into.
//
// The file library's one rule for where a folder's children are stored, for
// the service that walks the tree and for the programs that seed or copy
// folder trees: the children of a top-level folder (ParentDirectory -1)
// carry ParentDirectory 0, whatever the top-level folder's id; those of any
// other folder carry its DirectoryID.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CDatabase;
class CFolderRecordset;

inline constexpr int32_t kTopLevelParent = -1;

// The ParentDirectory value of the rows directly below the folder.
inline int32_t ChildrenParentId(int32_t directoryId, int32_t parentDirectory) {
  return parentDirectory == kTopLevelParent ? 0 : directoryId;
}

// Most rows a walk holds in memory; a larger table is read level by level.
inline constexpr size_t kFolderRowsInMemory = 4096;

// One folder as the walks read it (a NULL reads as 0 or empty).
struct CFolderRow {
  int32_t id = 0;
  int32_t parent = 0;
  std::string name;
  int32_t readKey = 0;
  int32_t writeKey = 0;
};

// A folder table's name and the columns the walks read, unbracketed.
struct CFolderColumns {
  const char* table;
  const char* id;  // unique
  const char* parent;
  const char* name;  // sorted by the database's rule for the column
  const char* readKey;
  const char* writeKey;  // nullptr: not read
};

class CFolderLevels {
 public:
  enum Order {
    kByName,  // name as the database sorts it, then id
    kById,    // the order SQLite gives a level without ORDER BY
  };

  // `top`: the order of the top level (the rows whose parent is
  // kTopLevelParent); `below`: that of every other level. `topListed`: the
  // top level counts as listed from the start, so a folder that names it
  // (one whose children carry kTopLevelParent) opens no level; otherwise it
  // is listed once more, as that folder's children.
  CFolderLevels(CDatabase* database, const CFolderColumns& columns, Order top = kByName,
                Order below = kByName, bool topListed = true);
  ~CFolderLevels();
  CFolderLevels(const CFolderLevels&) = delete;
  CFolderLevels& operator=(const CFolderLevels&) = delete;

  // Begins a walk: reads the whole table in one statement (at most bound + 1
  // rows) and keeps it when it holds at most `bound` rows; otherwise, or
  // when that statement fails, each level runs a statement of its own. Then
  // opens the top level. Throws CDBException.
  void Start(size_t bound = kFolderRowsInMemory);
  bool InMemory() const { return inMemory_; }

  // The rows whose parent is `parent`, in the order of the levels below the
  // top, as the current level. Throws CDBException.
  void Open(int32_t parent);
  bool IsEOF() const;
  // The current row; only while !IsEOF().
  const CFolderRow& Row() const;
  void MoveNext();
  // Ends the current level (a statement's cursor goes back at once).
  void Close();

  // The level of the rows whose parent is `parent` is listed when its turn
  // comes, after the levels queued before it.
  void Queue(int32_t parent) { queue_.push_back(parent); }
  // Ends the current level and opens the next one queued that was not
  // listed yet: a level is listed once however often it is queued (every
  // top-level folder of the file library queues 0, and a folder may name a
  // descendant as its parent). False when none is left.
  // Throws CDBException.
  bool NextLevel();

 private:
  // The table by name into rows_; false when it has more than `bound` rows.
  bool ReadWhole(size_t bound);
  void OpenLevel(int32_t parent, Order order);

  CDatabase* database_;
  CFolderColumns columns_;
  Order top_;
  Order below_;
  bool topListed_;
  bool inMemory_ = false;
  // In memory: every row by name, then id; each parent's rows in the order
  // of the levels below the top, and the top level in its own order when
  // that differs, sorted once when read.
  std::vector<CFolderRow> rows_;
  std::unordered_map<int32_t, std::vector<uint32_t>> children_;
  std::vector<uint32_t> topLevel_;
  const std::vector<uint32_t>* level_ = nullptr;
  size_t position_ = 0;
  // Level by level: the open level's statement.
  std::unique_ptr<CFolderRecordset> recordset_;
  // The walk: levels still to come, and those listed or on their way.
  std::deque<int32_t> queue_;
  std::unordered_set<int32_t> listed_;
};
