"""Every statement the server sends to its database.

Statements use "?" for parameters; the PostgreSQL engine numbers them.
MIGRATIONS are applied in order at start; their number is the schema
version kept in schema_version. Never change a released migration: add one.
"""

# {id} is the engine's auto-numbered key column.
MIGRATIONS = [
    (1, [
        """CREATE TABLE classrooms (
               id TEXT PRIMARY KEY,
               created DOUBLE PRECISION NOT NULL,
               updated DOUBLE PRECISION NOT NULL,
               done INTEGER NOT NULL DEFAULT 0)""",
        """CREATE TABLE records (
               seq {id},
               classroom TEXT NOT NULL,
               type TEXT NOT NULL,
               path TEXT NOT NULL,
               segments INTEGER NOT NULL,
               params TEXT NOT NULL,
               created DOUBLE PRECISION NOT NULL)""",
        "CREATE INDEX records_by_classroom ON records (classroom, seq)",
        "CREATE INDEX classrooms_by_age ON classrooms (updated)",
        """CREATE TABLE actions (
               seq {id},
               body TEXT NOT NULL,
               created DOUBLE PRECISION NOT NULL)""",
    ]),
]

CREATE_VERSION_TABLE = "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"
GET_VERSION = "SELECT MAX(version) FROM schema_version"
SET_VERSION = "INSERT INTO schema_version (version) VALUES (?)"

ADD_CLASSROOM = "INSERT INTO classrooms (id, created, updated, done) VALUES (?, ?, ?, 0)"
TOUCH_CLASSROOM = "UPDATE classrooms SET updated = ? WHERE id = ?"
FINISH_CLASSROOM = "UPDATE classrooms SET done = 1, updated = ? WHERE id = ?"
GET_CLASSROOM = "SELECT id, done, created FROM classrooms WHERE id = ?"
ADD_RECORD = ("INSERT INTO records (classroom, type, path, segments, params, created)"
              " VALUES (?, ?, ?, ?, ?, ?)")
RECORDS_OF = "SELECT type, path, segments, params FROM records WHERE classroom = ? ORDER BY seq"
ADD_ACTIONS = "INSERT INTO actions (body, created) VALUES (?, ?)"
OLD_CLASSROOMS = "SELECT id FROM classrooms WHERE updated < ? ORDER BY updated LIMIT 500"
DROP_RECORDS = "DELETE FROM records WHERE classroom = ?"
DROP_CLASSROOM = "DELETE FROM classrooms WHERE id = ?"
# devcloud's test view (stats): every classroom in the order they were opened.
ALL_CLASSROOMS = ("SELECT c.id, c.done, (SELECT COUNT(*) FROM records r WHERE r.classroom = c.id)"
                  " FROM classrooms c ORDER BY c.created, c.id")
ALL_ACTIONS = "SELECT body FROM actions ORDER BY seq"
