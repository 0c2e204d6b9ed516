// The file library's one rule for where a folder's children are stored, for
// the service that walks the tree and for the programs that seed or copy
// folder trees: the children of a top-level folder (ParentDirectory -1)
// carry ParentDirectory 0, whatever the top-level folder's id; those of any
// other folder carry its DirectoryID.
#pragma once
#include <cstdint>

inline constexpr int32_t kTopLevelParent = -1;

// The ParentDirectory value of the rows directly below the folder.
inline int32_t ChildrenParentId(int32_t directoryId, int32_t parentDirectory) {
  return parentDirectory == kTopLevelParent ? 0 : directoryId;
}
