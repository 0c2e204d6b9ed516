-- Tables of the area file QNAUDIT.MDB (an SQLite file despite its name).
-- TRUE is stored as -1; names the system compares without regard to case
-- are NOCASE; the database numbers identity keys itself.
-- Times it fills take the form the driver writes for bound times, so a
-- row without a key is found again by its values.
PRAGMA journal_mode=WAL;

CREATE TABLE AuditTrail (
  AuditTrailID INTEGER PRIMARY KEY AUTOINCREMENT,
  UserID TEXT COLLATE NOCASE DEFAULT '',
  AuditDate TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime')),
  AuditTime TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%S.000', 'now', 'localtime')),
  ServiceName TEXT DEFAULT '',
  KeyWord TEXT DEFAULT '',
  Description TEXT DEFAULT '',
  strAuditTime TEXT DEFAULT '',
  dblAuditTime DOUBLE DEFAULT 0
);
CREATE INDEX AuditTrail_UserID ON AuditTrail (UserID);
