// The files uploads are writing (their temporary files, the names they
// reserve) are listed in a journal in the program directory until each is
// renamed into place or removed. A server killed in the middle of uploads
// leaves them behind; its next start removes whatever the journal still
// lists.
#pragma once
#include <string>
#include <string_view>
#include <vector>

// An upload made the file; it is to go if the server dies before
// ForgetUploadFile.
void JournalUploadFile(const std::string& path);
// The file took its final name or was removed.
void ForgetUploadFile(const std::string& path);
// At start, before any upload: removes the files a killed server left, then
// the journal.
void RemoveLeftoverUploadFiles();

namespace qn {

// The paths a journal's text lists as made and not forgotten, in the order
// they were made. A line cut short by the kill counts for nothing.
std::vector<std::string> OpenUploadFiles(std::string_view journal);

}  // namespace qn
