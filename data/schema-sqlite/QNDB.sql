-- Tables of the area file QNDB.MDB (an SQLite file despite its name).
-- TRUE is stored as -1; names the system compares without regard to case
-- are NOCASE; the database numbers identity keys itself.
PRAGMA journal_mode=WAL;

CREATE TABLE Databases (
  DatabaseName TEXT COLLATE NOCASE DEFAULT '',
  ODBCDataSource TEXT DEFAULT '',
  Sort TEXT DEFAULT '',
  PrimaryKeyField TEXT DEFAULT '',
  ReadKeyID INTEGER DEFAULT 0,
  ReadFilter TEXT DEFAULT '',
  WriteKeyID INTEGER DEFAULT 0,
  WriteFilter TEXT DEFAULT '',
  IsQuickBase SMALLINT DEFAULT 0,
  ODBCConnectString TEXT DEFAULT ''
);
CREATE INDEX Databases_DatabaseName ON Databases (DatabaseName);

CREATE TABLE Fields (
  DatabaseName TEXT COLLATE NOCASE DEFAULT '',
  FieldName TEXT COLLATE NOCASE DEFAULT '',
  FieldDescription TEXT DEFAULT '',
  IsMedia SMALLINT DEFAULT 0,
  DefaultMediaDirectory TEXT DEFAULT '',
  ReadKeyID INTEGER DEFAULT 0,
  MultipleChoices TEXT DEFAULT '',
  RangeLow DOUBLE DEFAULT 0,
  RangeHigh DOUBLE DEFAULT 0,
  FillMacro TEXT DEFAULT '',
  QBSearch SMALLINT DEFAULT 0,
  QBBrowse SMALLINT DEFAULT 0,
  QBDetail SMALLINT DEFAULT 0
);
CREATE INDEX Fields_DatabaseName ON Fields (DatabaseName);

CREATE TABLE Procedures (
  DatabaseName TEXT COLLATE NOCASE DEFAULT '',
  ProcedureName TEXT COLLATE NOCASE DEFAULT '',
  OutputColumnTypes TEXT DEFAULT '',
  KeyID INTEGER DEFAULT 0,
  Params TEXT DEFAULT ''
);
CREATE INDEX Procedures_DatabaseName ON Procedures (DatabaseName);
