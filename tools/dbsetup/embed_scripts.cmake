# Writes OUT: the schema scripts the installer takes its later additions
# from, as C++ string constants (cmake -DDATA_DIR=... -DOUT=... -P).
file(READ ${DATA_DIR}/schema-sqlite/QNDB.sql sqlite_qndb)
file(READ ${DATA_DIR}/schema-postgresql.sql postgresql)
file(WRITE ${OUT}.tmp
  "// Generated from data/ by embed_scripts.cmake; do not edit.\n"
  "#include \"tools/dbsetup/core/schema_scripts.h\"\n"
  "namespace qn::dbsetup {\n"
  "const char* const kSqliteQndbScript = R\"qnsql(${sqlite_qndb})qnsql\";\n"
  "const char* const kPostgresScript = R\"qnsql(${postgresql})qnsql\";\n"
  "}  // namespace qn::dbsetup\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
