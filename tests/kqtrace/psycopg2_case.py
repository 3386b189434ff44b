# psycopg2: values interpolated into the text on the client, one PQexec per statement, a failing
# statement, COPY, transactions.
import io

import psycopg2

conn = psycopg2.connect("")
cur = conn.cursor()
cur.execute("DROP TABLE IF EXISTS kqt_items")
cur.execute("CREATE TABLE kqt_items (id int PRIMARY KEY, name text)")
for i in range(1, 4):
    cur.execute("INSERT INTO kqt_items VALUES (%s, %s)", (i, "item %d" % i))
conn.commit()
try:
    cur.execute("INSERT INTO kqt_items VALUES (%s, %s)", (1, "duplicate"))
except psycopg2.IntegrityError as e:
    print("error", e.pgcode)
    conn.rollback()
cur.copy_expert("COPY kqt_items FROM STDIN", io.StringIO("10\tcopied\n11\tcopied too\n"))
conn.commit()
cur.execute("SELECT id, name FROM kqt_items ORDER BY id")
for row in cur.fetchall():
    print(row)
conn.close()
