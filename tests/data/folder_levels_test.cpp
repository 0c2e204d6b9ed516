// The levels of a folder walk, in both storage modes: the whole table read in
// one statement gives every level the rows and order the statements of a
// walk level by level give it (names sorted by the database's own rule, ties
// and unsorted levels by id); a table over the bound is walked level by level.
// The walk itself: breadth first, each level listed once however often it is
// queued, the top level never again unless told so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_fixture.h"
#include "server/data/connection_pool.h"
#include "server/data/folder_tree.h"

using namespace qn::test;

namespace {

class FolderLevels : public BothModesTest {};

const CFolderColumns kFolders{"Folders", "FolderID", "ParentID", "Folder", "ReadKey", "WriteKey"};

// Every level of `parents` in both orders, one line each; whether the table
// was kept in memory (the same for both).
std::vector<std::string> Walk(CDatabase* db, size_t bound, const std::vector<int32_t>& parents,
                              bool& inMemory) {
  CFolderLevels byName(db, kFolders, CFolderLevels::kByName, CFolderLevels::kByName);
  CFolderLevels byId(db, kFolders, CFolderLevels::kById, CFolderLevels::kById);
  byName.Start(bound);
  byId.Start(bound);
  EXPECT_EQ(byName.InMemory(), byId.InMemory());
  inMemory = byName.InMemory();
  std::vector<std::string> lines;
  for (int32_t parent : parents) {
    for (CFolderLevels* levels : {&byName, &byId}) {
      levels->Open(parent);
      std::string line = std::to_string(parent) + (levels == &byName ? " name:" : " id:");
      for (; !levels->IsEOF(); levels->MoveNext()) {
        const CFolderRow& row = levels->Row();
        line += " " + std::to_string(row.id) + "/" + std::to_string(row.parent) + "/" + row.name +
                "/" + std::to_string(row.readKey) + "/" + std::to_string(row.writeKey);
      }
      lines.push_back(line);
    }
  }
  return lines;
}

// A whole walk: each row's id as its level comes, each level ended by "|";
// every row queues `queued(row)`.
std::string WalkAll(CFolderLevels& levels, size_t bound, int32_t (*queued)(const CFolderRow&)) {
  std::string out;
  levels.Start(bound);
  do {
    for (; !levels.IsEOF(); levels.MoveNext()) {
      out += std::to_string(levels.Row().id) + " ";
      levels.Queue(queued(levels.Row()));
    }
    out += "| ";
  } while (levels.NextLevel());
  return out;
}

TEST_P(FolderLevels, WholeTableGivesEachLevelAsItsOwnStatementDoes) {
  CDatabase* db = GetDatabase(AreaConnect("QNRMSG"), false);
  // Ids out of the order of insertion; names equal but for case; NULLs; an
  // 8-bit name; a row without a parent.
  const char* const rows[] = {
      "40, 'beta', -1, 2, 3",      "10, 'alpha', -1, -1, -1",  "30, 'Alpha', -1, 0, 0",
      "20, 'ALPHA2', -1, NULL, 1", "25, 'b', -1, 5, NULL",     "50, NULL, -1, 0, 0",
      "60, 'caf\xe9', 10, 0, 0",   "55, 'Zed', 10, 0, 0",      "45, 'zed', 10, 0, 0",
      "70, 'x', 70, 0, 0",         "80, 'orphan', NULL, 0, 0", "-1, 'minus one', 10, 0, 0",
  };
  for (const char* row : rows)
    db->ExecuteSQL(std::string("INSERT INTO Folders (FolderID, Folder, ParentID, ReadKey, WriteKey) "
                               "VALUES (") + row + ")");
  const std::vector<int32_t> parents{-1, 10, 70, 0, 80, 999};
  constexpr size_t kWithParent = std::size(rows) - 1;

  bool kept = false;
  const std::vector<std::string> inMemory = Walk(db, kWithParent, parents, kept);
  ASSERT_TRUE(kept);
  for (size_t bound : {kWithParent - 1, size_t{0}}) {
    EXPECT_EQ(Walk(db, bound, parents, kept), inMemory) << bound;
    EXPECT_FALSE(kept) << bound;
  }

  // The names as both databases sort them without regard to case, equal
  // names by id; NULL names where each database puts them.
  const bool nullFirst = GetParam() == StorageMode::AreaFiles;
  const std::string top = "-1 name:" + std::string(nullFirst ? " 50/-1//0/0" : "") +
                          " 10/-1/alpha/-1/-1 30/-1/Alpha/0/0 20/-1/ALPHA2/0/1 25/-1/b/5/0"
                          " 40/-1/beta/2/3" +
                          (nullFirst ? "" : " 50/-1//0/0");
  EXPECT_EQ(inMemory[0], top);
  EXPECT_EQ(inMemory[1], "-1 id: 10/-1/alpha/-1/-1 20/-1/ALPHA2/0/1 25/-1/b/5/0 30/-1/Alpha/0/0"
                         " 40/-1/beta/2/3 50/-1//0/0");
  EXPECT_EQ(inMemory[3], "10 id: -1/10/minus one/0/0 45/10/zed/0/0 55/10/Zed/0/0 60/10/caf\xe9/0/0");
  EXPECT_EQ(inMemory[5], "70 id: 70/70/x/0/0");
  for (size_t i = 6; i < inMemory.size(); ++i) EXPECT_EQ(inMemory[i].find('/'), std::string::npos);

  // Read again, the one statement is prepared once per connection.
  CFolderLevels whole(db, kFolders);
  whole.Start(kWithParent);
  const auto prepares = db->Stats().prepares;
  whole.Start(kWithParent);
  EXPECT_TRUE(whole.InMemory());
  EXPECT_EQ(db->Stats().prepares, prepares);
}

TEST_P(FolderLevels, AWalkListsBreadthFirstEachLevelOnceAndTheTopLevelNeverAgain) {
  CDatabase* db = GetDatabase(AreaConnect("QNRMSG"), false);
  // Top: 2 and 1, by name. Below 1: 3 and 4; below 2: 6 and a folder whose
  // id is -1 (its children carry the top level's parent); below 3: 5; below
  // 5: 7. 8 and 9 name each other as parents, out of reach.
  const char* const rows[] = {"2, 'a', -1", "1, 'b', -1", "4, 'd', 1", "3, 'c', 1", "-1, 'e', 2",
                              "6, 'f', 2",  "5, 'g', 3",  "7, 'h', 5", "8, 'i', 9",  "9, 'j', 8"};
  for (const char* row : rows)
    db->ExecuteSQL(std::string("INSERT INTO Folders (FolderID, Folder, ParentID, ReadKey, WriteKey) "
                               "VALUES (") + row + ", -1, -1)");
  for (size_t bound : {std::size(rows), size_t{0}}) {
    SCOPED_TRACE(bound);
    CFolderLevels byName(db, kFolders);
    // Each folder queues its own id, the top level's folders as well.
    EXPECT_EQ(WalkAll(byName, bound, [](const CFolderRow& row) { return row.id; }),
              "2 1 | -1 6 | 3 4 | | 5 | | 7 | | ");
    // The top level not counted as listed: the folder whose id is -1 lists
    // it once more, in the order of the levels below the top.
    CFolderLevels again(db, kFolders, CFolderLevels::kByName, CFolderLevels::kById, false);
    EXPECT_EQ(WalkAll(again, bound, [](const CFolderRow& row) { return row.id; }),
              "2 1 | -1 6 | 3 4 | 1 2 | | 5 | | 7 | | ");
    // The file library's rule: every top-level folder queues 0, which is
    // listed once; below the top level, by id.
    CFolderLevels byId(db, kFolders, CFolderLevels::kByName, CFolderLevels::kById, false);
    EXPECT_EQ(WalkAll(byId, bound,
                      [](const CFolderRow& row) {
                        return row.parent == kTopLevelParent ? 0 : row.id;
                      }),
              "2 1 | | ");
    // Nothing is queued: the top level alone.
    EXPECT_EQ(WalkAll(byName, bound, [](const CFolderRow&) { return kTopLevelParent; }), "2 1 | ");
  }
}

QN_INSTANTIATE_BOTH_MODES(FolderLevels);

}  // namespace
