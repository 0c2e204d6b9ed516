-- Tables of the area file QNCHAT.MDB (an SQLite file despite its name).
-- TRUE is stored as -1; names the system compares without regard to case
-- are NOCASE; the database numbers identity keys itself.
PRAGMA journal_mode=WAL;

CREATE TABLE ChatRooms (
  Room TEXT COLLATE NOCASE DEFAULT '',
  RoomKeyID INTEGER DEFAULT 0,
  MaxInRoom SMALLINT DEFAULT 0
);
