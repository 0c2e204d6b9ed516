// Every text the database installer shows or writes, in one table: dialog
// captions and labels, step texts, messages, data source attribute lists,
// settings names and progress lines. The texts are the program's own and
// stand as they are; only the two driver names are those of this platform.
#pragma once

namespace qn::dbsetup::texts {

// Program and dialogs.
inline constexpr const char* kProgramTitle = "QNDBUp32";
inline constexpr const char* kMainCaption = "Quillnet Database Installer";  // dialog 102
inline constexpr const char* kMainPleaseWait =
    "Please wait while your Quillnet Databases are Created and/or Upgraded to the latest version "
    "(this may take a long time!)";
inline constexpr const char* kMainStatusInitial = "Status";                    // control 1000
inline constexpr const char* kMainDetailedStatusInitial = "Detailed Status";   // control 1002
inline constexpr const char* kAboutMenuItem = "&About QNDBUp32...";           // string 101
inline constexpr const char* kAboutCaption = "About QNDBUp32";                 // dialog 100
inline constexpr const char* kAboutVersion = "QNDBUp32 Version 1.0";
inline constexpr const char* kOk = "OK";
inline constexpr const char* kCancel = "Cancel";

inline constexpr const char* kDriverCaption = "Quillnet ODBC Driver";  // dialog 129
inline constexpr const char* kDriverQuestion =
    "Which ODBC Database Driver would you like to use for the Quillnet Server?";
inline constexpr const char* kDriverAccessNote =
    "The Microsoft Access Database Drivers have been automatically pre-installed by Quillnet.";
inline constexpr const char* kDriverSqlNote =
    "For higher performance, you can use Microsoft SQL Server instead. (Note: Microsoft SQL Server "
    "is available separately, and must be installed first!)";
inline constexpr const char* kDriverAccessButton = "Microsoft &Access";    // 1001
inline constexpr const char* kDriverSqlButton = "Microsoft &SQL Server";   // 1002

inline constexpr const char* kSqlParamsCaption = "Microsoft SQL Server Parameters";  // dialog 130
inline constexpr const char* kSqlParamsDatabaseLabel = "Database:";      // 1003
inline constexpr const char* kSqlParamsLoginLabel = "Login ID:";         // 1004
inline constexpr const char* kSqlParamsPasswordLabel = "Password:";      // 1005
inline constexpr const char* kSqlParamsServerLabel = "Server Name:";     // 1002
inline constexpr const char* kSqlParamsDatabaseInitial = "Quillnet_Server";
inline constexpr const char* kSqlParamsLoginInitial = "sa";
inline constexpr const char* kSqlParamsPasswordInitial = "";
inline constexpr const char* kSqlParamsServerInitial = "(local)";
// The server name that means this machine.
inline constexpr const char* kLocalServerName = "(local)";

// Step texts, by step number (status text, control 1000).
inline constexpr const char* kStepTexts[] = {
    "Searching for \"Quillnet Server\" ODBC Data Source",
    "Creating \"Quillnet Server\" Data Source",
    "Initializing Empty Databases with Microsoft Access",
    "Initializing Empty Databases with Microsoft SQL Server",
    "Upgrading your Quillnet v1.0 Databases (this may take a long time!)",
    "Adding additional table information",
};

// Messages of the steps.
inline constexpr const char* kInvalidHandleDataSources = "Invalid handle returned from SQLDataSources";
inline constexpr const char* kInvalidHandle = "Invalid handle";
inline constexpr const char* kNeitherDriverOfDataSource =
    "Error: \"Quillnet Server\" ODBC DSN is neither MS Access, nor MS SQL Server!";
inline constexpr const char* kNoDriverInstalled =
    "Cannot create \"Quillnet Server\" ODBC entry because neither the Microsoft Access ODBC Driver, "
    "nor the Microsoft SQL Server Driver are installed!";
inline constexpr const char* kSqlSetupCaption = "Quillnet Setup with SQL";
inline constexpr const char* kSqlSetupQuestion =
    "To ensure a proper SQL install, have you created the Quillnet Server devices and databases as "
    "described in the SQL Server Pre-Installation Setup section of the Readme.wri file?";
inline constexpr const char* kUpgradeToSqlQuestion =
    "Would you like to upgrade your Quillnet Server databases to use Microsoft SQL Server? (Note: "
    "Microsoft SQL Server is available separately, and must be installed first!)";
inline constexpr const char* kDatabaseErrorIntro =
    "An error occured while updating your databases. Please call or email Brenlo Technical Support "
    "and give them this exact text:\r";
inline constexpr const char* kMissingScript =
    "Error: Cannot find QNDATA.SQL! Please re-install Quillnet Server";
inline constexpr const char* kAddingDefaultRecords = "Adding default records";
inline constexpr const char* kErrorPrefix = "Error: ";
inline constexpr const char* kUnknownError = " (an unknown error has occured)";
// Refusal of server parameters that no connect string or data source can
// carry.
inline constexpr const char* kBadSqlParameters =
    "The Server Name, Database, Login ID and Password may not contain control characters, and a "
    "port after the Server Name must be a number from 1 to 65535.";
// Refusal of a file swap while another program holds the files (%s: the
// file, %d: the process).
inline constexpr const char* kFileInUse =
    "%s is open in another program (process %ld). Stop the Quillnet Server and run QNDBUp32 again.";
// An attachment name that another file already has (%s: that file).
inline constexpr const char* kAttachmentTaken =
    "Cannot give an upgraded attachment the name %s: a file of that name exists.";
// A template or upgraded file that is not a database (%s: the file).
inline constexpr const char* kNotADatabase = "%s is missing or not a database file.";

// Driver entries: "Microsoft Access Driver (*.mdb)" and "SQL Server" of the
// system are these two of our own odbcinst.ini.
inline constexpr const char* kAccessDriver = "Quillnet SQLite3";
inline constexpr const char* kSqlServerDriver = "Quillnet PostgreSQL";

// Data sources.
inline constexpr const char* kServerDataSource = "Quillnet Server";
inline constexpr const char* kAccountDataSource = "Account Information";
inline constexpr const char* kNewServerDataSource = "New Quillnet Server";
inline constexpr const char* kOdbcDataSourcesSection = "ODBC Data Sources";

// Attribute lists, each attribute ended by %c (a zero byte), the list by one
// more. Access lists take the program directory for %s; "DBQ=" is the
// driver's "Database=".
inline constexpr const char* kAccessCoreAttributes =
    "DSN=Quillnet Server%cDescription=Quillnet Server Core Databases%cDefaultDir=%s%c";
inline constexpr const char* kAccessAccountAttributes =
    "DSN=Account Information%cDescription=Quillnet Account Information Database%c"
    "Database=%sQNACCOUN.MDB%cDefaultDir=%s%c";
inline constexpr const char* kAccessUpgradeAttributes =
    "DSN=New Quillnet Server%cDescription=Quillnet Server Core Databases%cDefaultDir=%s%c";
// SQL Server lists: data source, server host (or socket directory), port and
// database for the core; server, port and database for the account list.
inline constexpr const char* kSqlCoreAttributes =
    "DSN=%s%cDescription=Quillnet Server Core Databases%cServername=%s%cPort=%s%cDatabase=%s%c";
inline constexpr const char* kSqlAccountAttributes =
    "DSN=Account Information%cDescription=Quillnet Account Information Database%cServername=%s%c"
    "Port=%s%cDatabase=%s%c";

// Settings.
inline constexpr const char* kGeneralSection = "General";
inline constexpr const char* kOdbcTypeValue = "ODBCType";
inline constexpr const char* kOdbcConnectStringValue = "ODBCConnectString";
inline constexpr const char* kOdbcTypeAccess = "MSAccess";
inline constexpr const char* kOdbcTypeSqlServer = "MSSQL";
inline constexpr const char* kServerIniFile = "QNSVR.INI";
inline constexpr const char* kAccountIniFile = "ACCOUNT.QNI";
inline constexpr const char* kAccountIniSection = "Database1";
inline constexpr const char* kAccountIniKey = "ODBC Data Source";
inline constexpr const char* kSchemaScriptFile = "QNDATA.SQL";
inline constexpr const char* kSqlServerService = "MSSQLServer";

// Database files: the stems in the order of the areas, and the extensions.
inline constexpr const char* kStems[] = {"QNACCOUN", "QNAUDIT", "QNCHAT", "QNDB",
                                         "QNFILE",   "QNMAIL",  "QNRMSG"};
inline constexpr const char* kLiveExtension = "MDB";
inline constexpr const char* kTemplateExtension = "NEW";
inline constexpr const char* kUpgradeExtension = "TMP";
inline constexpr const char* kOldExtension = "OLD";
// Mail attachments below the program directory (%ld: the message number).
inline constexpr const char* kAttachmentFormat = "QNMAIL/%08ld.ATT";

// Progress lines of the upgrade (%ld of %ld).
inline constexpr const char* kProgressFormat = "Updating %s (%ld out of %ld)";
inline constexpr const char* kFoldersProgressName = "Message Folders";

}  // namespace qn::dbsetup::texts
