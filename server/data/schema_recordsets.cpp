#include "server/data/schema_recordsets.h"

const CTableSpec<CAccounts_2>& CAccounts_2::Spec() {
  using R = CAccounts_2;
  static const CTableSpec<R> table{"CAccounts_2", "[Accounts]", "ODBC;DSN=Microsoft Access Files", "AccountNumber",
    {
      {"[AccountNumber]", L, &R::m_AccountNumber},
      {"[Address1]", T, &R::m_Address1},
      {"[Address2]", T, &R::m_Address2},
      {"[BillingAddress1]", T, &R::m_BillingAddress1},
      {"[BillingAddress2]", T, &R::m_BillingAddress2},
      {"[BillingCity]", T, &R::m_BillingCity},
      {"[BillingCompany]", T, &R::m_BillingCompany},
      {"[BillingCountry]", T, &R::m_BillingCountry},
      {"[BillingFirstName]", T, &R::m_BillingFirstName},
      {"[BillingLastName]", T, &R::m_BillingLastName},
      {"[BillingState_Province]", T, &R::m_BillingState_Province},
      {"[BillingZip]", T, &R::m_BillingZip},
      {"[City]", T, &R::m_City},
      {"[Company]", T, &R::m_Company},
      {"[Country]", T, &R::m_Country},
      {"[Credits]", L, &R::m_Credits},
      {"[Dormant]", B, &R::m_Dormant},
      {"[FirstName]", T, &R::m_FirstName},
      {"[HomeEmail]", T, &R::m_HomeEmail},
      {"[InternetAlias]", T, &R::m_InternetAlias},
      {"[LastName]", T, &R::m_LastName},
      {"[LastOn]", D, &R::m_LastOn},
      {"[LongProfile]", M, &R::m_LongProfile},
      {"[MaxTimeOnline]", I, &R::m_MaxTimeOnline},
      {"[Password]", T, &R::m_Password},
      {"[Phone]", T, &R::m_Phone},
      {"[RatePerHour]", I, &R::m_RatePerHour},
      {"[ShortProfile]", T, &R::m_ShortProfile},
      {"[SignUpDate]", D, &R::m_SignUpDate},
      {"[State_Province]", T, &R::m_State_Province},
      {"[UserID]", T, &R::m_UserID},
      {"[Zip]", T, &R::m_Zip},
    }};
  return table;
}

const CTableSpec<CDefaults_2>& CDefaults_2::Spec() {
  using R = CDefaults_2;
  static const CTableSpec<R> table{"CDefaults_2", "[Defaults]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[Credits]", L, &R::m_Credits},
      {"[Rate]", I, &R::m_Rate},
      {"[MaxOnline]", I, &R::m_MaxOnline},
    }};
  return table;
}

const CTableSpec<CKeyChains_2>& CKeyChains_2::Spec() {
  using R = CKeyChains_2;
  static const CTableSpec<R> table{"CKeyChains_2", "[KeyChains]", "ODBC;DSN=Microsoft Access Files", "KeyChainID",
    {
      {"[KeyChainID]", L, &R::m_KeyChainID},
      {"[KeyChain]", T, &R::m_KeyChain},
      {"[IsDefault]", B, &R::m_IsDefault},
    }};
  return table;
}

const CTableSpec<CKeys_2>& CKeys_2::Spec() {
  using R = CKeys_2;
  static const CTableSpec<R> table{"CKeys_2", "[Keys]", "ODBC;DSN=Microsoft Access Files", "KeyID",
    {
      {"[KeyID]", L, &R::m_KeyID},
      {"[AppName]", T, &R::m_AppName},
      {"[KeyName]", T, &R::m_KeyName},
      {"[Description]", T, &R::m_Description},
      {"[KeyCost]", L, &R::m_KeyCost},
    }};
  return table;
}

const CTableSpec<CUserID2KeyChain_2>& CUserID2KeyChain_2::Spec() {
  using R = CUserID2KeyChain_2;
  static const CTableSpec<R> table{"CUserID2KeyChain_2", "[UserID2KeyChain]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[UserID]", T, &R::m_UserID},
      {"[KeyChainID]", L, &R::m_KeyChainID},
    }};
  return table;
}

const CTableSpec<CKeys2Chains_2>& CKeys2Chains_2::Spec() {
  using R = CKeys2Chains_2;
  static const CTableSpec<R> table{"CKeys2Chains_2", "[Keys2Chains]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[KeyChainID]", L, &R::m_KeyChainID},
      {"[KeyID]", L, &R::m_KeyID},
    }};
  return table;
}

const CTableSpec<CUserID2Keys_2>& CUserID2Keys_2::Spec() {
  using R = CUserID2Keys_2;
  static const CTableSpec<R> table{"CUserID2Keys_2", "[UserID2Keys]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[UserID]", T, &R::m_UserID},
      {"[KeyID]", L, &R::m_KeyID},
    }};
  return table;
}

const CTableSpec<CAuditTrail_2>& CAuditTrail_2::Spec() {
  using R = CAuditTrail_2;
  static const CTableSpec<R> table{"CAuditTrail_2", "[AuditTrail]", "ODBC;DSN=Microsoft Access Files", "AuditTrailID",
    {
      {"[AuditTrailID]", L, &R::m_AuditTrailID},
      {"[UserID]", T, &R::m_UserID},
      {"[AuditDate]", D, &R::m_AuditDate},
      {"[AuditTime]", D, &R::m_AuditTime},
      {"[ServiceName]", T, &R::m_ServiceName},
      {"[KeyWord]", T, &R::m_KeyWord},
      {"[Description]", T, &R::m_Description},
      {"[strAuditTime]", T, &R::m_strAuditTime},
      {"[dblAuditTime]", F, &R::m_dblAuditTime},
    }};
  return table;
}

const CTableSpec<CChatRooms_2>& CChatRooms_2::Spec() {
  using R = CChatRooms_2;
  static const CTableSpec<R> table{"CChatRooms_2", "[ChatRooms]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[Room]", T, &R::m_Room},
      {"[RoomKeyID]", L, &R::m_RoomKeyID},
      {"[MaxInRoom]", I, &R::m_MaxInRoom},
    }};
  return table;
}

const CTableSpec<CDatabases_2>& CDatabases_2::Spec() {
  using R = CDatabases_2;
  static const CTableSpec<R> table{"CDatabases_2", "[Databases]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[DatabaseName]", T, &R::m_DatabaseName},
      {"[ODBCDataSource]", T, &R::m_ODBCDataSource},
      {"[Sort]", T, &R::m_Sort},
      {"[PrimaryKeyField]", T, &R::m_PrimaryKeyField},
      {"[ReadKeyID]", L, &R::m_ReadKeyID},
      {"[ReadFilter]", T, &R::m_ReadFilter},
      {"[WriteKeyID]", L, &R::m_WriteKeyID},
      {"[WriteFilter]", T, &R::m_WriteFilter},
      {"[IsQuickBase]", B, &R::m_IsQuickBase},
      {"[ODBCConnectString]", T, &R::m_ODBCConnectString},
    }};
  return table;
}

const CTableSpec<CFields_2>& CFields_2::Spec() {
  using R = CFields_2;
  static const CTableSpec<R> table{"CFields_2", "[Fields]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[DatabaseName]", T, &R::m_DatabaseName},
      {"[FieldName]", T, &R::m_FieldName},
      {"[FieldDescription]", T, &R::m_FieldDescription},
      {"[IsMedia]", B, &R::m_IsMedia},
      {"[DefaultMediaDirectory]", T, &R::m_DefaultMediaDirectory},
      {"[ReadKeyID]", L, &R::m_ReadKeyID},
      {"[MultipleChoices]", T, &R::m_MultipleChoices},
      {"[RangeLow]", F, &R::m_RangeLow},
      {"[RangeHigh]", F, &R::m_RangeHigh},
      {"[FillMacro]", T, &R::m_FillMacro},
      {"[QBSearch]", B, &R::m_QBSearch},
      {"[QBBrowse]", B, &R::m_QBBrowse},
      {"[QBDetail]", B, &R::m_QBDetail},
    }};
  return table;
}

const CTableSpec<CProcedures_2>& CProcedures_2::Spec() {
  using R = CProcedures_2;
  static const CTableSpec<R> table{"CProcedures_2", "[Procedures]", "ODBC;DSN=Quillnet Server", "",
    {
      {"[DatabaseName]", T, &R::m_DatabaseName},
      {"[ProcedureName]", T, &R::m_ProcedureName},
      {"[OutputColumnTypes]", T, &R::m_OutputColumnTypes},
      {"[KeyID]", L, &R::m_KeyID},
      {"[Params]", T, &R::m_Params},
    }};
  return table;
}

const CTableSpec<CDirectories_2>& CDirectories_2::Spec() {
  using R = CDirectories_2;
  static const CTableSpec<R> table{"CDirectories_2", "[Directories]", "ODBC;DSN=Microsoft Access Files", "DirectoryID",
    {
      {"[DirectoryID]", L, &R::m_DirectoryID},
      {"[DirectoryName]", T, &R::m_DirectoryName},
      {"[ParentDirectory]", L, &R::m_ParentDirectory},
      {"[ReadKeyID]", L, &R::m_ReadKeyID},
      {"[UploadPath]", T, &R::m_UploadPath},
      {"[WriteKeyID]", L, &R::m_WriteKeyID},
    }};
  return table;
}

const CTableSpec<CDownloads_2>& CDownloads_2::Spec() {
  using R = CDownloads_2;
  static const CTableSpec<R> table{"CDownloads_2", "[Downloads]", "ODBC;DSN=Microsoft Access Files", "DownloadID",
    {
      {"[DownloadID]", L, &R::m_DownloadID},
      {"[FileID]", L, &R::m_FileID},
      {"[DateDownloaded]", D, &R::m_DateDownloaded},
      {"[DownloadedBy]", T, &R::m_DownloadedBy},
    }};
  return table;
}

const CTableSpec<CFiles_2>& CFiles_2::Spec() {
  using R = CFiles_2;
  static const CTableSpec<R> table{"CFiles_2", "[Files]", "ODBC;DSN=Microsoft Access Files", "FileID",
    {
      {"[FileID]", L, &R::m_FileID},
      {"[FileName]", T, &R::m_FileName},
      {"[FileExtension]", T, &R::m_FileExtension},
      {"[FileSize]", L, &R::m_FileSize},
      {"[LastModDate]", D, &R::m_LastModDate},
      {"[UploadedBy]", T, &R::m_UploadedBy},
      {"[FileLocation]", T, &R::m_FileLocation},
      {"[SuggFolder]", L, &R::m_SuggFolder},
      {"[ShortDescription]", T, &R::m_ShortDescription},
      {"[LongDescription]", M, &R::m_LongDescription},
      {"[DateUploaded]", D, &R::m_DateUploaded},
      {"[DateApproved]", D, &R::m_DateApproved},
    }};
  return table;
}

const CTableSpec<CFiles2Directories_2>& CFiles2Directories_2::Spec() {
  using R = CFiles2Directories_2;
  static const CTableSpec<R> table{"CFiles2Directories_2", "[Files2Directories]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[DirectoryID]", L, &R::m_DirectoryID},
      {"[FileID]", L, &R::m_FileID},
    }};
  return table;
}

const CTableSpec<CKeywords_2>& CKeywords_2::Spec() {
  using R = CKeywords_2;
  static const CTableSpec<R> table{"CKeywords_2", "[Keywords]", "ODBC;DSN=Microsoft Access Files", "KeywordID",
    {
      {"[KeywordID]", L, &R::m_KeywordID},
      {"[FileID]", L, &R::m_FileID},
      {"[Keyword]", T, &R::m_Keyword},
    }};
  return table;
}

const CTableSpec<CUploadOptions_2>& CUploadOptions_2::Spec() {
  using R = CUploadOptions_2;
  static const CTableSpec<R> table{"CUploadOptions_2", "[UploadOptions]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[AutoApprove]", B, &R::m_AutoApprove},
      {"[AddToSuggestedFolder]", B, &R::m_AddToSuggestedFolder},
      {"[UploadPath]", T, &R::m_UploadPath},
    }};
  return table;
}

const CTableSpec<CMessageStore_2>& CMessageStore_2::Spec() {
  using R = CMessageStore_2;
  static const CTableSpec<R> table{"CMessageStore_2", "[MessageStore]", "ODBC;DSN=Microsoft Access Files", "MessageID",
    {
      {"[MessageID]", L, &R::m_MessageID},
      {"[RecipID]", T, &R::m_RecipID},
      {"[Subject]", T, &R::m_Subject},
      {"[Note]", M, &R::m_Note},
      {"[SenderID]", T, &R::m_SenderID},
      {"[DateSent]", D, &R::m_DateSent},
      {"[FileTitle]", T, &R::m_FileTitle},
      {"[Received]", B, &R::m_Received},
      {"[ReturnReceipt]", B, &R::m_ReturnReceipt},
    }};
  return table;
}

const CTableSpec<CFolders_2>& CFolders_2::Spec() {
  using R = CFolders_2;
  static const CTableSpec<R> table{"CFolders_2", "[Folders]", "ODBC;DSN=Microsoft Access Files", "FolderID",
    {
      {"[Folder]", T, &R::m_Folder},
      {"[FolderID]", L, &R::m_FolderID},
      {"[ParentID]", L, &R::m_ParentID},
      {"[Code]", Y, &R::m_Code},
      {"[ReadKey]", L, &R::m_ReadKey},
      {"[WriteKey]", L, &R::m_WriteKey},
    }};
  return table;
}

const CTableSpec<CMessages_2>& CMessages_2::Spec() {
  using R = CMessages_2;
  static const CTableSpec<R> table{"CMessages_2", "[Messages]", "ODBC;DSN=Microsoft Access Files", "MsgID",
    {
      {"[Title]", T, &R::m_Title},
      {"[Msg]", M, &R::m_Msg},
      {"[UserID]", T, &R::m_UserID},
      {"[MsgID]", L, &R::m_MsgID},
      {"[FolderID]", L, &R::m_FolderID},
      {"[Date]", D, &R::m_Date},
      {"[LastRead]", D, &R::m_LastRead},
    }};
  return table;
}

const CTableSpec<CMsgRead_2>& CMsgRead_2::Spec() {
  using R = CMsgRead_2;
  static const CTableSpec<R> table{"CMsgRead_2", "[MsgRead]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[MsgID]", L, &R::m_MsgID},
      {"[UserID]", T, &R::m_UserID},
      {"[Date]", D, &R::m_Date},
    }};
  return table;
}

const CTableSpec<CResponses_2>& CResponses_2::Spec() {
  using R = CResponses_2;
  static const CTableSpec<R> table{"CResponses_2", "[Responses]", "ODBC;DSN=Microsoft Access Files", "ResponseID",
    {
      {"[Title]", T, &R::m_Title},
      {"[Response]", M, &R::m_Response},
      {"[UserID]", T, &R::m_UserID},
      {"[ResponseID]", L, &R::m_ResponseID},
      {"[OriginalMsgID]", L, &R::m_OriginalMsgID},
      {"[Date]", D, &R::m_Date},
      {"[FolderID]", L, &R::m_FolderID},
      {"[ParentID]", L, &R::m_ParentID},
    }};
  return table;
}

const CTableSpec<CResponseRead_2>& CResponseRead_2::Spec() {
  using R = CResponseRead_2;
  static const CTableSpec<R> table{"CResponseRead_2", "[ResponseRead]", "ODBC;DSN=Microsoft Access Files", "",
    {
      {"[ResponseID]", L, &R::m_ResponseID},
      {"[UserID]", T, &R::m_UserID},
      {"[Date]", D, &R::m_Date},
    }};
  return table;
}
const CTableSpec<CFiles_J_Files2Directories>& CFiles_J_Files2Directories::Spec() {
  using R = CFiles_J_Files2Directories;
  static const CTableSpec<R> table{"CFiles_J_Files2Directories", "[Files],[Files2Directories]",
                                  "ODBC;DSN=Quillnet Access Files", "",
    {
      {"[Files].[FileID]", L, &R::m_FileID},
      {"[FileName]", T, &R::m_FileName},
      {"[FileExtension]", T, &R::m_FileExtension},
      {"[FileSize]", L, &R::m_FileSize},
      {"[LastModDate]", D, &R::m_LastModDate},
      {"[UploadedBy]", T, &R::m_UploadedBy},
      {"[FileLocation]", T, &R::m_FileLocation},
      {"[SuggFolder]", L, &R::m_SuggFolder},
      {"[ShortDescription]", T, &R::m_ShortDescription},
      {"[LongDescription]", T, &R::m_LongDescription},
      {"[DateUploaded]", D, &R::m_DateUploaded},
      {"[DateApproved]", D, &R::m_DateApproved},
      {"[DirectoryID]", L, &R::m_DirectoryID},
      {"[Files2Directories].[FileID]", L, &R::m_FileID2},
    }};
  return table;
}
