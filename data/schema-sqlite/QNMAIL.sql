-- Tables of the area file QNMAIL.MDB (an SQLite file despite its name).
-- TRUE is stored as -1; names the system compares without regard to case
-- are NOCASE; the database numbers identity keys itself.
-- Times it fills take the form the driver writes for bound times, so a
-- row without a key is found again by its values.
PRAGMA journal_mode=WAL;

CREATE TABLE MessageStore (
  MessageID INTEGER PRIMARY KEY AUTOINCREMENT,
  RecipID TEXT COLLATE NOCASE DEFAULT '',
  Subject TEXT DEFAULT '',
  Note TEXT DEFAULT '',
  SenderID TEXT COLLATE NOCASE DEFAULT '',
  DateSent TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime')),
  FileTitle TEXT DEFAULT '-',
  Received SMALLINT DEFAULT 0,
  ReturnReceipt SMALLINT DEFAULT 0
);
CREATE INDEX MessageStore_RecipID ON MessageStore (RecipID);
