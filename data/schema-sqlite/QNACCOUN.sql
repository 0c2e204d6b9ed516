-- Tables of the area file QNACCOUN.MDB (an SQLite file despite its name).
-- TRUE is stored as -1; names the system compares without regard to case
-- are NOCASE; the database numbers identity keys itself.
-- Times it fills take the form the driver writes for bound times, so a
-- row without a key is found again by its values.
PRAGMA journal_mode=WAL;

CREATE TABLE Accounts (
  AccountNumber INTEGER PRIMARY KEY AUTOINCREMENT,
  Address1 TEXT DEFAULT '',
  Address2 TEXT DEFAULT '',
  BillingAddress1 TEXT DEFAULT '',
  BillingAddress2 TEXT DEFAULT '',
  BillingCity TEXT DEFAULT '',
  BillingCompany TEXT DEFAULT '',
  BillingCountry TEXT DEFAULT '',
  BillingFirstName TEXT DEFAULT '',
  BillingLastName TEXT DEFAULT '',
  BillingState_Province TEXT DEFAULT '',
  BillingZip TEXT DEFAULT '',
  City TEXT DEFAULT '',
  Company TEXT DEFAULT '',
  Country TEXT DEFAULT '',
  Credits INTEGER DEFAULT 0,
  Dormant SMALLINT DEFAULT 0,
  FirstName TEXT COLLATE NOCASE DEFAULT '',
  HomeEmail TEXT DEFAULT '',
  InternetAlias TEXT COLLATE NOCASE DEFAULT '',
  LastName TEXT COLLATE NOCASE DEFAULT '',
  LastOn TIMESTAMP,
  LongProfile TEXT DEFAULT '',
  MaxTimeOnline SMALLINT DEFAULT 0,
  Password TEXT DEFAULT '',
  Phone TEXT DEFAULT '',
  RatePerHour SMALLINT DEFAULT 0,
  ShortProfile TEXT DEFAULT '',
  SignUpDate TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime')),
  State_Province TEXT DEFAULT '',
  UserID TEXT COLLATE NOCASE DEFAULT '',
  Zip TEXT DEFAULT ''
);
CREATE UNIQUE INDEX Accounts_UserID ON Accounts (UserID);

CREATE TABLE Defaults (
  Credits INTEGER DEFAULT 0,
  Rate SMALLINT DEFAULT 0,
  MaxOnline SMALLINT DEFAULT 0
);

CREATE TABLE KeyChains (
  KeyChainID INTEGER PRIMARY KEY AUTOINCREMENT,
  KeyChain TEXT COLLATE NOCASE DEFAULT '',
  IsDefault SMALLINT DEFAULT 0
);

CREATE TABLE Keys (
  KeyID INTEGER PRIMARY KEY AUTOINCREMENT,
  AppName TEXT COLLATE NOCASE DEFAULT '',
  KeyName TEXT COLLATE NOCASE DEFAULT '',
  Description TEXT DEFAULT '',
  KeyCost INTEGER DEFAULT 0
);

CREATE TABLE UserID2KeyChain (
  UserID TEXT COLLATE NOCASE DEFAULT '',
  KeyChainID INTEGER DEFAULT 0
);
CREATE INDEX UserID2KeyChain_UserID ON UserID2KeyChain (UserID);

CREATE TABLE Keys2Chains (
  KeyChainID INTEGER DEFAULT 0,
  KeyID INTEGER DEFAULT 0
);
CREATE INDEX Keys2Chains_KeyChainID ON Keys2Chains (KeyChainID);

CREATE TABLE UserID2Keys (
  UserID TEXT COLLATE NOCASE DEFAULT '',
  KeyID INTEGER DEFAULT 0
);
CREATE INDEX UserID2Keys_UserID ON UserID2Keys (UserID);
