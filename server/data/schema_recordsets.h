// One recordset class per table of the current schema, each with its columns
// in binding order (the column tables are in schema_recordsets.cpp), and the
// joined recordset of the file library.
#pragma once
#include "server/data/table_recordset.h"

// [Accounts] in QNACCOUN.
class CAccounts_2 : public CTableRecordset<CAccounts_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CAccounts_2>& Spec();

  int32_t m_AccountNumber = 0;
  std::string m_Address1;
  std::string m_Address2;
  std::string m_BillingAddress1;
  std::string m_BillingAddress2;
  std::string m_BillingCity;
  std::string m_BillingCompany;
  std::string m_BillingCountry;
  std::string m_BillingFirstName;
  std::string m_BillingLastName;
  std::string m_BillingState_Province;
  std::string m_BillingZip;
  std::string m_City;
  std::string m_Company;
  std::string m_Country;
  int32_t m_Credits = 0;
  BOOL m_Dormant = 0;
  std::string m_FirstName;
  std::string m_HomeEmail;
  std::string m_InternetAlias;
  std::string m_LastName;
  std::time_t m_LastOn = 0;
  std::string m_LongProfile;
  int16_t m_MaxTimeOnline = 0;
  std::string m_Password;
  std::string m_Phone;
  int16_t m_RatePerHour = 0;
  std::string m_ShortProfile;
  std::time_t m_SignUpDate = 0;
  std::string m_State_Province;
  std::string m_UserID;
  std::string m_Zip;
};

// [Defaults] in QNACCOUN.
class CDefaults_2 : public CTableRecordset<CDefaults_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CDefaults_2>& Spec();

  int32_t m_Credits = 0;
  int16_t m_Rate = 0;
  int16_t m_MaxOnline = 0;
};

// [KeyChains] in QNACCOUN.
class CKeyChains_2 : public CTableRecordset<CKeyChains_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CKeyChains_2>& Spec();

  int32_t m_KeyChainID = 0;
  std::string m_KeyChain;
  BOOL m_IsDefault = 0;
};

// [Keys] in QNACCOUN.
class CKeys_2 : public CTableRecordset<CKeys_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CKeys_2>& Spec();

  int32_t m_KeyID = 0;
  std::string m_AppName;
  std::string m_KeyName;
  std::string m_Description;
  int32_t m_KeyCost = 0;
};

// [UserID2KeyChain] in QNACCOUN.
class CUserID2KeyChain_2 : public CTableRecordset<CUserID2KeyChain_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CUserID2KeyChain_2>& Spec();

  std::string m_UserID;
  int32_t m_KeyChainID = 0;
};

// [Keys2Chains] in QNACCOUN.
class CKeys2Chains_2 : public CTableRecordset<CKeys2Chains_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CKeys2Chains_2>& Spec();

  int32_t m_KeyChainID = 0;
  int32_t m_KeyID = 0;
};

// [UserID2Keys] in QNACCOUN.
class CUserID2Keys_2 : public CTableRecordset<CUserID2Keys_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CUserID2Keys_2>& Spec();

  std::string m_UserID;
  int32_t m_KeyID = 0;
};

// [AuditTrail] in QNAUDIT.
class CAuditTrail_2 : public CTableRecordset<CAuditTrail_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CAuditTrail_2>& Spec();

  int32_t m_AuditTrailID = 0;
  std::string m_UserID;
  std::time_t m_AuditDate = 0;
  std::time_t m_AuditTime = 0;
  std::string m_ServiceName;
  std::string m_KeyWord;
  std::string m_Description;
  std::string m_strAuditTime;
  double m_dblAuditTime = 0;
};

// [ChatRooms] in QNCHAT.
class CChatRooms_2 : public CTableRecordset<CChatRooms_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CChatRooms_2>& Spec();

  std::string m_Room;
  int32_t m_RoomKeyID = 0;
  int16_t m_MaxInRoom = 0;
};

// [Databases] in QNDB.
class CDatabases_2 : public CTableRecordset<CDatabases_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CDatabases_2>& Spec();

  std::string m_DatabaseName;
  std::string m_ODBCDataSource;
  std::string m_Sort;
  std::string m_PrimaryKeyField;
  int32_t m_ReadKeyID = 0;
  std::string m_ReadFilter;
  int32_t m_WriteKeyID = 0;
  std::string m_WriteFilter;
  BOOL m_IsQuickBase = 0;
  std::string m_ODBCConnectString;
};

// [Fields] in QNDB.
class CFields_2 : public CTableRecordset<CFields_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CFields_2>& Spec();

  std::string m_DatabaseName;
  std::string m_FieldName;
  std::string m_FieldDescription;
  BOOL m_IsMedia = 0;
  std::string m_DefaultMediaDirectory;
  int32_t m_ReadKeyID = 0;
  std::string m_MultipleChoices;
  double m_RangeLow = 0;
  double m_RangeHigh = 0;
  std::string m_FillMacro;
  BOOL m_QBSearch = 0;
  BOOL m_QBBrowse = 0;
  BOOL m_QBDetail = 0;
};

// [Procedures] in QNDB.
class CProcedures_2 : public CTableRecordset<CProcedures_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CProcedures_2>& Spec();

  std::string m_DatabaseName;
  std::string m_ProcedureName;
  std::string m_OutputColumnTypes;
  int32_t m_KeyID = 0;
  std::string m_Params;
};

// [Directories] in QNFILE.
class CDirectories_2 : public CTableRecordset<CDirectories_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CDirectories_2>& Spec();

  int32_t m_DirectoryID = 0;
  std::string m_DirectoryName;
  int32_t m_ParentDirectory = 0;
  int32_t m_ReadKeyID = 0;
  std::string m_UploadPath;
  int32_t m_WriteKeyID = 0;
};

// [Downloads] in QNFILE.
class CDownloads_2 : public CTableRecordset<CDownloads_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CDownloads_2>& Spec();

  int32_t m_DownloadID = 0;
  int32_t m_FileID = 0;
  std::time_t m_DateDownloaded = 0;
  std::string m_DownloadedBy;
};

// [Files] in QNFILE.
class CFiles_2 : public CTableRecordset<CFiles_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CFiles_2>& Spec();

  int32_t m_FileID = 0;
  std::string m_FileName;
  std::string m_FileExtension;
  int32_t m_FileSize = 0;
  std::time_t m_LastModDate = 0;
  std::string m_UploadedBy;
  std::string m_FileLocation;
  int32_t m_SuggFolder = 0;
  std::string m_ShortDescription;
  std::string m_LongDescription;
  std::time_t m_DateUploaded = 0;
  std::time_t m_DateApproved = 0;
};

// [Files2Directories] in QNFILE.
class CFiles2Directories_2 : public CTableRecordset<CFiles2Directories_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CFiles2Directories_2>& Spec();

  int32_t m_DirectoryID = 0;
  int32_t m_FileID = 0;
};

// [Keywords] in QNFILE.
class CKeywords_2 : public CTableRecordset<CKeywords_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CKeywords_2>& Spec();

  int32_t m_KeywordID = 0;
  int32_t m_FileID = 0;
  std::string m_Keyword;
};

// [UploadOptions] in QNFILE.
class CUploadOptions_2 : public CTableRecordset<CUploadOptions_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CUploadOptions_2>& Spec();

  BOOL m_AutoApprove = 0;
  BOOL m_AddToSuggestedFolder = 0;
  std::string m_UploadPath;
};

// [MessageStore] in QNMAIL.
class CMessageStore_2 : public CTableRecordset<CMessageStore_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CMessageStore_2>& Spec();

  int32_t m_MessageID = 0;
  std::string m_RecipID;
  std::string m_Subject;
  std::string m_Note;
  std::string m_SenderID;
  std::time_t m_DateSent = 0;
  std::string m_FileTitle;
  BOOL m_Received = 0;
  BOOL m_ReturnReceipt = 0;
};

// [Folders] in QNRMSG.
class CFolders_2 : public CTableRecordset<CFolders_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CFolders_2>& Spec();

  std::string m_Folder;
  int32_t m_FolderID = 0;
  int32_t m_ParentID = 0;
  uint8_t m_Code = 0;
  int32_t m_ReadKey = 0;
  int32_t m_WriteKey = 0;
};

// [Messages] in QNRMSG.
class CMessages_2 : public CTableRecordset<CMessages_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CMessages_2>& Spec();

  std::string m_Title;
  std::string m_Msg;
  std::string m_UserID;
  int32_t m_MsgID = 0;
  int32_t m_FolderID = 0;
  std::time_t m_Date = 0;
  std::time_t m_LastRead = 0;
};

// [MsgRead] in QNRMSG.
class CMsgRead_2 : public CTableRecordset<CMsgRead_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CMsgRead_2>& Spec();

  int32_t m_MsgID = 0;
  std::string m_UserID;
  std::time_t m_Date = 0;
};

// [Responses] in QNRMSG.
class CResponses_2 : public CTableRecordset<CResponses_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CResponses_2>& Spec();

  std::string m_Title;
  std::string m_Response;
  std::string m_UserID;
  int32_t m_ResponseID = 0;
  int32_t m_OriginalMsgID = 0;
  std::time_t m_Date = 0;
  int32_t m_FolderID = 0;
  int32_t m_ParentID = 0;
};

// [ResponseRead] in QNRMSG.
class CResponseRead_2 : public CTableRecordset<CResponseRead_2> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CResponseRead_2>& Spec();

  int32_t m_ResponseID = 0;
  std::string m_UserID;
  std::time_t m_Date = 0;
};
// [Files] joined with [Files2Directories]: callers give the join in the
// filter. LongDescription is read as text of 255 characters here.
class CFiles_J_Files2Directories : public CTableRecordset<CFiles_J_Files2Directories> {
 public:
  using CTableRecordset::CTableRecordset;
  static const CTableSpec<CFiles_J_Files2Directories>& Spec();

  int32_t m_FileID = 0;  // [Files].[FileID]
  std::string m_FileName;
  std::string m_FileExtension;
  int32_t m_FileSize = 0;
  std::time_t m_LastModDate = 0;
  std::string m_UploadedBy;
  std::string m_FileLocation;
  int32_t m_SuggFolder = 0;
  std::string m_ShortDescription;
  std::string m_LongDescription;
  std::time_t m_DateUploaded = 0;
  std::time_t m_DateApproved = 0;
  int32_t m_DirectoryID = 0;
  int32_t m_FileID2 = 0;  // [Files2Directories].[FileID]
};
