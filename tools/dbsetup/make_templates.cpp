// Build step: the empty database templates <STEM>.NEW (one self-contained
// SQLite file per data/schema-sqlite/<STEM>.sql, with that area's seed
// rows) and QNDATA.SQL (data/schema-postgresql.sql as it stands).
//   qn_make_templates <data dir> <output dir>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tools/dbsetup/core/seed_records.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class SqliteFile : public qn::dbsetup::ISeedTarget {
 public:
  explicit SqliteFile(const fs::path& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) Fail("open");
  }
  ~SqliteFile() override { sqlite3_close(db_); }

  void Exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      std::string text = message ? message : "failed";
      sqlite3_free(message);
      throw std::runtime_error(text + " in: " + sql);
    }
  }
  int32_t Insert(const std::string& sql, bool wantKey) override {
    Exec(sql);
    return wantKey ? static_cast<int32_t>(sqlite3_last_insert_rowid(db_)) : 0;
  }

 private:
  [[noreturn]] void Fail(const char* what) { throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db_)); }
  sqlite3* db_ = nullptr;
};

// TRUE in the per-area files.
constexpr int kSqliteTrue = -1;

void MakeTemplate(const fs::path& script, const fs::path& target) {
  const std::string stem = script.stem().string();
  const fs::path temporary = target.string() + ".tmp";
  fs::remove(temporary);
  {
    SqliteFile db(temporary);
    db.Exec(ReadFile(script));
    db.Exec("BEGIN");
    qn::dbsetup::InsertSeedRows(db, kSqliteTrue, stem);
    db.Exec("COMMIT");
    // Everything in the one file: no write-ahead log beside it.
    db.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(temporary.string() + suffix);
  fs::rename(temporary, target);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qn_make_templates <data dir> <output dir>\n");
    return 2;
  }
  try {
    const fs::path data = argv[1], out = argv[2];
    fs::create_directories(out);
    for (const auto& entry : fs::directory_iterator(data / "schema-sqlite")) {
      if (entry.path().extension() != ".sql") continue;
      MakeTemplate(entry.path(), out / (entry.path().stem().string() + ".NEW"));
    }
    const fs::path script = out / "QNDATA.SQL";
    fs::copy_file(data / "schema-postgresql.sql", script.string() + ".tmp", fs::copy_options::overwrite_existing);
    fs::rename(script.string() + ".tmp", script);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qn_make_templates: %s\n", e.what());
    return 1;
  }
  return 0;
}
