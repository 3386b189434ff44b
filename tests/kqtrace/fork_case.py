# A program that forks: the parent and the child each run statements on connections of their own.
import os
import sys

import psycopg2

parent = psycopg2.connect("")
parent.autocommit = True
cur = parent.cursor()
cur.execute("SELECT 'parent before fork'")
print(cur.fetchone()[0], flush=True)
pid = os.fork()
if pid == 0:
    child = psycopg2.connect("")
    child.autocommit = True
    c = child.cursor()
    c.execute("SELECT 'child'")
    print(c.fetchone()[0], flush=True)
    child.close()
    sys.exit(0)
os.waitpid(pid, 0)
cur.execute("SELECT 'parent after fork'")
print(cur.fetchone()[0])
parent.close()
