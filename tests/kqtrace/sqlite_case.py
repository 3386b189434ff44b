# Python's sqlite3 module: libsqlite3 loaded privately by the module, reached by the preload.
import sqlite3
import sys

db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, body TEXT)")
db.execute("DELETE FROM notes")
db.executemany("INSERT INTO notes (body) VALUES (?)", [("first",), ("second",)])
print(db.execute("SELECT count(*) FROM notes").fetchone())
try:
    db.execute("INSERT INTO notes (id, body) VALUES (1, 'clash')")
except sqlite3.IntegrityError as e:
    print("error", e)
db.close()
