-- Tables of the area file QNFILE.MDB (an SQLite file despite its name).
-- TRUE is stored as -1; names the system compares without regard to case
-- are NOCASE; the database numbers identity keys itself.
-- Times it fills take the form the driver writes for bound times, so a
-- row without a key is found again by its values.
PRAGMA journal_mode=WAL;

CREATE TABLE Directories (
  DirectoryID INTEGER PRIMARY KEY AUTOINCREMENT,
  DirectoryName TEXT COLLATE NOCASE DEFAULT '',
  ParentDirectory INTEGER DEFAULT 0,
  ReadKeyID INTEGER DEFAULT 0,
  UploadPath TEXT DEFAULT '',
  WriteKeyID INTEGER DEFAULT 0
);
CREATE INDEX Directories_ParentDirectory ON Directories (ParentDirectory);

CREATE TABLE Downloads (
  DownloadID INTEGER PRIMARY KEY AUTOINCREMENT,
  FileID INTEGER DEFAULT 0,
  DateDownloaded TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime')),
  DownloadedBy TEXT COLLATE NOCASE DEFAULT ''
);
CREATE INDEX Downloads_FileID ON Downloads (FileID);

CREATE TABLE Files (
  FileID INTEGER PRIMARY KEY AUTOINCREMENT,
  FileName TEXT COLLATE NOCASE DEFAULT '',
  FileExtension TEXT COLLATE NOCASE DEFAULT '',
  FileSize INTEGER DEFAULT 0,
  LastModDate TIMESTAMP,
  UploadedBy TEXT COLLATE NOCASE DEFAULT '',
  FileLocation TEXT DEFAULT '',
  SuggFolder INTEGER DEFAULT 0,
  ShortDescription TEXT DEFAULT '',
  LongDescription TEXT DEFAULT '',
  DateUploaded TIMESTAMP,
  DateApproved TIMESTAMP
);

CREATE TABLE Files2Directories (
  DirectoryID INTEGER DEFAULT 0,
  FileID INTEGER DEFAULT 0
);
CREATE INDEX Files2Directories_DirectoryID ON Files2Directories (DirectoryID);
CREATE INDEX Files2Directories_FileID ON Files2Directories (FileID);

CREATE TABLE Keywords (
  KeywordID INTEGER PRIMARY KEY AUTOINCREMENT,
  FileID INTEGER DEFAULT 0,
  Keyword TEXT COLLATE NOCASE DEFAULT ''
);
CREATE INDEX Keywords_FileID ON Keywords (FileID);
CREATE INDEX Keywords_Keyword ON Keywords (Keyword);

CREATE TABLE UploadOptions (
  AutoApprove SMALLINT DEFAULT 0,
  AddToSuggestedFolder SMALLINT DEFAULT 0,
  UploadPath TEXT DEFAULT ''
);
