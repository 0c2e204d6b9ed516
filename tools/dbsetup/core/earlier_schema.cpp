#include "tools/dbsetup/core/earlier_schema.h"

#include <stdexcept>

namespace qn::dbsetup {

namespace {

constexpr OldKind T = OldKind::T, M = OldKind::M, L = OldKind::L, I = OldKind::I, Y = OldKind::Y,
                  B = OldKind::B, D = OldKind::D, F = OldKind::F;

}  // namespace

const std::vector<OldTable>& EarlierSchema() {
  static const std::vector<OldTable> tables = {
      {"CAccounts_1", "Accounts", "QNACCOUN",
       {{"UserId", T}, {"Password", T}, {"Firstname", T}, {"Lastname", T}, {"Company", T},
        {"Address1", T}, {"Address2", T}, {"City", T}, {"State_Province", T}, {"Zip", T},
        {"Country", T}, {"Billing First Name", T}, {"Billing Last Name", T}, {"Billing Company", T},
        {"Billing Address1", T}, {"Billing Address2", T}, {"Billing City", T},
        {"Billing State_Province", T}, {"Billing Zip", T}, {"Billing Country", T},
        {"ShortProfile", T}, {"LongProfile", M}, {"Credits", L}, {"SignupDate", D},
        {"AccountNumber", L}, {"Dormant", B}, {"RatePerHour", I}, {"MaxTimeOnline", I}}},
      {"CDefaults_1", "Defaults", "QNACCOUN", {{"credits", L}, {"Rate", I}, {"MaxOnLine", I}}},
      {"CKeyChains_1", "KeyChains", "QNACCOUN", {{"KeyChainId", L}, {"KeyChain", T}, {"default", B}}},
      {"CKeys_1", "Keys", "QNACCOUN",
       {{"KeyId", L}, {"AppName", T}, {"KeyName", T}, {"Description", T}, {"KeyCost", L}}},
      {"CKeys2Chains_1", "Keys2Chains", "QNACCOUN", {{"KeyChainId", L}, {"KeyId", L}}},
      {"CLineNumbers_1", "LineNumbers", "QNACCOUN",
       {{"UserId", T}, {"DayPhone", T}, {"Fax", T}, {"NightPhone", T}, {"Modem", T}}},
      {"CUserID2Keys_1", "Userid2Keys", "QNACCOUN", {{"UserId", T}, {"KeyId", L}}},
      {"CUserID2KeyChain_1", "UserId2KeyChain", "QNACCOUN", {{"UserId", T}, {"KeyChainId", L}}},
      {"CAuditTrail_1", "AuditTrail", "QNAUDIT",
       {{"AuditTrailId", L}, {"UserId", T}, {"AuditDate", D}, {"AuditTime", D}, {"ServiceName", T},
        {"KeyWord", T}, {"Description", T}, {"strAuditTime", T}, {"dblAuditTime", F}}},
      {"CChatRooms_1", "ChatRooms", "QNCHAT", {{"Room", T}, {"RoomKeyID", L}, {"Max", I}}},
      {"CDatabases_1", "Databases", "QNDB",
       {{"Database Name", T}, {"ODBC Data Source", T}, {"Sort", T}, {"PrimaryKeyField", T},
        {"ReadKeyID", L}, {"ReadFilter", T}, {"WriteKeyID", L}, {"WriteFilter", T}, {"IsQuickBase", B}}},
      {"CFields_1", "Fields", "QNDB",
       {{"Database Name", T}, {"Field Name", T}, {"Field Description", T}, {"IsMedia", B},
        {"DefaultMediaDirectory", T}, {"ReadKeyID", L}, {"MultipleChoices", T}, {"RangeLow", F},
        {"RangeHigh", F}, {"FillMacro", T}, {"QBSearch", B}, {"QBBrowse", B}, {"QBDetail", B}}},
      {"CDirectories_1", "Directories", "QNFILE",
       {{"DirectoryId", L}, {"DirectoryName", T}, {"UploadPath", T}, {"ParentDirectory", L},
        {"FolderKeyID", L}}},
      {"CDownloads_1", "Downloads", "QNFILE",
       {{"DownloadID", L}, {"FileID", L}, {"DateDownloaded", D}, {"DownloadedBy", T}}},
      {"CFiles_1", "Files", "QNFILE",
       {{"FileId", L}, {"FileName", T}, {"FileExtension", T}, {"FileSize", L}, {"LastModDate", D},
        {"UploadedBy", T}, {"FileLocation", T}, {"SuggFolder", L}, {"ShortDescription", T},
        {"LongDescription", M}, {"DateUploaded", D}, {"DateApproved", D}}},
      {"CFiles2Directories_1", "Files2Directories", "QNFILE", {{"DirectoryId", L}, {"FileId", L}}},
      {"CKeywords_1", "Keywords", "QNFILE", {{"FileID", L}, {"Keyword", T}, {"KeywordID", L}}},
      {"CUploadOptions_1", "UploadOptions", "QNFILE",
       {{"AutoApprove", B}, {"AddToSuggestedFolder", B}, {"UploadPath", T}}},
      {"CMessageStore_1", "MessageStore", "QNMAIL",
       {{"MessageId", L}, {"RecipId", T}, {"To", T}, {"Subject", T}, {"Note", M}, {"SenderId", T},
        {"DateSent", D}, {"FileTitle", T}, {"Received", B}}},
      {"CFolders_1", "Folders", "QNRMSG",
       {{"Folder", T}, {"FolderID", L}, {"ParentID", L}, {"Code", Y}, {"ReadKey", L}, {"WriteKey", L}}},
      {"CMessages_1", "Messages", "QNRMSG",
       {{"Date", D}, {"FolderID", L}, {"LastRead", D}, {"Msg", M}, {"MsgID", L}, {"Title", T}, {"UserID", T}}},
      {"CMsgRead_1", "MsgRead", "QNRMSG", {{"Date", D}, {"MsgID", L}, {"UserID", T}}},
      {"CResponseRead_1", "ResponseRead", "QNRMSG", {{"ResponseID", L}, {"UserID", T}, {"Date", D}}},
      {"CResponses_1", "Responses", "QNRMSG",
       {{"Title", T}, {"Response", M}, {"UserID", T}, {"ResponseID", L}, {"OriginalMsgID", L}, {"Date", D},
        {"FolderID", L}}},
  };
  return tables;
}

const OldTable& EarlierTable(const std::string& table) {
  for (const OldTable& t : EarlierSchema())
    if (table == t.table) return t;
  throw std::out_of_range("no earlier table " + table);
}

size_t ColumnIndex(const OldTable& table, const std::string& column) {
  for (size_t i = 0; i < table.columns.size(); ++i)
    if (column == table.columns[i].name) return i;
  throw std::out_of_range("no column " + column + " in " + table.table);
}

}  // namespace qn::dbsetup
