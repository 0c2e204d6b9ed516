-- Tables of the area file QNRMSG.MDB (an SQLite file despite its name).
-- TRUE is stored as -1; names the system compares without regard to case
-- are NOCASE; the database numbers identity keys itself.
-- Times it fills take the form the driver writes for bound times, so a
-- row without a key is found again by its values.
PRAGMA journal_mode=WAL;

CREATE TABLE Folders (
  Folder TEXT COLLATE NOCASE DEFAULT '',
  FolderID INTEGER PRIMARY KEY AUTOINCREMENT,
  ParentID INTEGER DEFAULT 0,
  Code TINYINT DEFAULT 0,
  ReadKey INTEGER DEFAULT 0,
  WriteKey INTEGER DEFAULT 0
);
CREATE INDEX Folders_ParentID ON Folders (ParentID);

CREATE TABLE Messages (
  Title TEXT DEFAULT '',
  Msg TEXT DEFAULT '',
  UserID TEXT COLLATE NOCASE DEFAULT '',
  MsgID INTEGER PRIMARY KEY AUTOINCREMENT,
  FolderID INTEGER DEFAULT 0,
  Date TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime')),
  LastRead TIMESTAMP
);
CREATE INDEX Messages_FolderID ON Messages (FolderID);

CREATE TABLE MsgRead (
  MsgID INTEGER DEFAULT 0,
  UserID TEXT COLLATE NOCASE DEFAULT '',
  Date TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime'))
);
CREATE INDEX MsgRead_MsgID ON MsgRead (MsgID);

CREATE TABLE Responses (
  Title TEXT DEFAULT '',
  Response TEXT DEFAULT '',
  UserID TEXT COLLATE NOCASE DEFAULT '',
  ResponseID INTEGER PRIMARY KEY AUTOINCREMENT,
  OriginalMsgID INTEGER DEFAULT 0,
  Date TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime')),
  FolderID INTEGER DEFAULT 0,
  ParentID INTEGER DEFAULT 0
);
CREATE INDEX Responses_OriginalMsgID ON Responses (OriginalMsgID);
CREATE INDEX Responses_FolderID ON Responses (FolderID);

CREATE TABLE ResponseRead (
  ResponseID INTEGER DEFAULT 0,
  UserID TEXT COLLATE NOCASE DEFAULT '',
  Date TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime'))
);
CREATE INDEX ResponseRead_ResponseID ON ResponseRead (ResponseID);
