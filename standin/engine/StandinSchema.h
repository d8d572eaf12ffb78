#pragma once

// The tables of a stand-in database file. Plain SQLite: no custom collation
// or function appears here, so the sqlite3 shell can seed and inspect the
// file. Datetimes are text 'yyyy-mm-dd hh:mi:ss' with an optional '.fff'.
inline constexpr const char kStandinSchemaSql[] =
    "CREATE TABLE IF NOT EXISTS Kvl321Bew (\n"
    "  BewTID TEXT, BewLID TEXT, BewIDN TEXT, BewSto TEXT,\n"
    "  BewDtm TEXT, BewUhr TEXT,\n"
    "  BewLfn TEXT, BewArt TEXT, BewTas TEXT, BewEra TEXT, BewKze TEXT, BewBer TEXT,\n"
    "  BewErq TEXT, BewKst TEXT, BewQua TEXT, BewSrc TEXT, BewRes TEXT,\n"
    "  BewUkz INTEGER, BewUdt TEXT, BewDat TEXT\n"
    ");\n"
    // The marking's key: the dialect adds to "BewIDN = 'literal'" a plain
    // range that this index serves, so that a pass grows linearly.
    "CREATE INDEX IF NOT EXISTS Kvl321BewIDN ON Kvl321Bew (BewIDN);\n"
    "CREATE TABLE IF NOT EXISTS StandinLogin (Login TEXT PRIMARY KEY, Password TEXT NOT NULL);\n"
    "CREATE TABLE IF NOT EXISTS StandinControl (Name TEXT PRIMARY KEY, Value TEXT);\n"
    "CREATE TABLE IF NOT EXISTS StandinStatistics (Name TEXT PRIMARY KEY, Value INTEGER);\n"
    "INSERT OR IGNORE INTO StandinStatistics (Name, Value) VALUES ('commits_that_wrote', 0);\n";

// What a database file made before the statistics lacks; run at every login.
inline constexpr const char kStandinStatisticsSql[] =
    "CREATE TABLE IF NOT EXISTS StandinStatistics (Name TEXT PRIMARY KEY, Value INTEGER)";
