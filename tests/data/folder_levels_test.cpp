// The levels of a folder walk, in both storage modes: the whole table read in
// one statement gives every level the rows and order the statements of a
// walk level by level give it (names sorted by the database's own rule, ties
// and unsorted levels by id); a table over the bound is walked level by level.
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

// Every level of `parents` in both orders, one line each.
std::vector<std::string> Walk(CFolderLevels& levels, const std::vector<int32_t>& parents) {
  std::vector<std::string> lines;
  for (int32_t parent : parents) {
    for (auto order : {CFolderLevels::kByName, CFolderLevels::kById}) {
      levels.Open(parent, order);
      std::string line = std::to_string(parent) + (order == CFolderLevels::kByName ? " name:" : " id:");
      for (; !levels.IsEOF(); levels.MoveNext()) {
        const CFolderRow& row = levels.Row();
        line += " " + std::to_string(row.id) + "/" + std::to_string(row.parent) + "/" + row.name +
                "/" + std::to_string(row.readKey) + "/" + std::to_string(row.writeKey);
      }
      lines.push_back(line);
    }
  }
  levels.Close();
  return lines;
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

  CFolderLevels whole(db, kFolders);
  whole.Start(kWithParent);
  ASSERT_TRUE(whole.InMemory());
  const std::vector<std::string> inMemory = Walk(whole, parents);
  for (size_t bound : {kWithParent - 1, size_t{0}}) {
    CFolderLevels byLevel(db, kFolders);
    byLevel.Start(bound);
    EXPECT_FALSE(byLevel.InMemory()) << bound;
    EXPECT_EQ(Walk(byLevel, parents), inMemory) << bound;
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
  whole.Start(kWithParent);
  const auto prepares = db->Stats().prepares;
  whole.Start(kWithParent);
  EXPECT_TRUE(whole.InMemory());
  EXPECT_EQ(db->Stats().prepares, prepares);
}

QN_INSTANTIATE_BOTH_MODES(FolderLevels);

}  // namespace
