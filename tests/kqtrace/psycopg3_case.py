# psycopg 3 (libpq through ctypes, so only the audit interface sees it): values bound on the server,
# a pipeline whose second statement fails.
import psycopg

with psycopg.connect("", autocommit=True, prepare_threshold=None) as conn:
    conn.execute("DROP TABLE IF EXISTS kqt_p3")
    conn.execute("CREATE TABLE kqt_p3 (id int, label text)")
    conn.execute("INSERT INTO kqt_p3 VALUES (%s, %s)", (1, "one"))
    print(conn.execute("SELECT label FROM kqt_p3 WHERE id = %s", (1,)).fetchall())
    try:
        with conn.pipeline():
            conn.execute("SELECT 1")
            conn.execute("SELECT 1 / 0")
            conn.execute("SELECT 2")
    except psycopg.errors.DivisionByZero as e:
        print("pipeline error", e.sqlstate)
