# Python's sqlite3 module: libsqlite3 loaded privately by the module, reached by the preload.
# With KQT_EXTENSION set, the program loads kqtrace's SQLite extension itself (and is not run under
# kqtrace): connections opened after the load are traced too, so a second one runs the workload.
import os
import sqlite3
import sys

extension = os.environ.get("KQT_EXTENSION")
if extension:
    loader = sqlite3.connect(":memory:")
    loader.enable_load_extension(True)
    loader.load_extension(extension)
    loader.close()
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, body TEXT)")
db.execute("DELETE FROM notes")
db.executemany("INSERT INTO notes (body) VALUES (?)", [("first",), ("second",)])
print(db.execute("SELECT count(*) FROM notes").fetchone())
try:
    db.execute("INSERT INTO notes (id, body) VALUES (1, 'clash')")
except sqlite3.IntegrityError as e:
    print("error", e)
try:
    db.execute("SELECT body FROM missing_table")
except sqlite3.OperationalError as e:
    print("error", e)
db.close()
