// The office's call log and the last contact index, kept in one SQLite file beside config.ini
// (llamadas.sqlite3), through Python's sqlite3. Writes go to a thread of their own in short
// transactions, so that no caller (the GUI thread least of all) waits on the file; reads open a
// connection per thread. A damaged file is set aside and a new one started; a folder where the
// file cannot be written leaves the log off, and the user is told once either way.
#include "phonewatch.hpp"

#include "failure.hpp"
#include "settings_file.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

const char *const FILE_NAME = "llamadas.sqlite3";
// What a connection waits for a lock before it gives up: the GUI thread never waits longer.
constexpr double BUSY_SECONDS = 0.05;
// The page cache of a connection, in KiB: the log is written a row at a time and read a page at
// a time, and each thread that touches it has a connection of its own.
constexpr int CACHE_KIB = 256;
// How far back an outcome told by number looks for its call (the form of a call that rang
// a while ago, say).
constexpr double OUTCOME_WINDOW_SECONDS = 6 * 3600;
constexpr double SECONDS_A_DAY = 86400;

// The schema, one step per version: a file of an older version is brought up to date at start,
// step by step, in one transaction. PRAGMA user_version holds the file's version.
const std::vector<std::vector<const char *>> MIGRATIONS = {
    // 1: the calls.
    {"CREATE TABLE calls (id INTEGER PRIMARY KEY, at REAL NOT NULL, number TEXT NOT NULL, canonical TEXT,"
     " source TEXT NOT NULL, contacts TEXT NOT NULL DEFAULT '[]', outcome TEXT NOT NULL,"
     " detail TEXT NOT NULL DEFAULT '')",
     "CREATE INDEX calls_by_number ON calls (number, id)"},
    // 2: the Holded event a call was logged as, and the last contact index of each key.
    {"ALTER TABLE calls ADD COLUMN event TEXT NOT NULL DEFAULT ''",
     "CREATE TABLE contact_index (fingerprint TEXT PRIMARY KEY, read_at REAL NOT NULL, entries TEXT NOT NULL)"},
};

const char *const CALL_COLUMNS = "id, at, number, canonical, source, contacts, outcome, detail, event";

py::object sqlite() { return pymod("sqlite3"); }

double now() { return pymod("time").attr("time")().cast<double>(); }

py::object connect(const py::str &path) {
    py::object connection = sqlite().attr("connect")(path, "timeout"_a = BUSY_SECONDS, "isolation_level"_a = py::none(),
                                                     "check_same_thread"_a = true);
    connection.attr("execute")("PRAGMA busy_timeout = 50");
    connection.attr("execute")(py::str("PRAGMA cache_size = -{}").format(CACHE_KIB));
    return connection;
}

// Brings the file up to the newest schema; raises the database's error for a damaged file.
void migrate(const py::object &connection) {
    int version = connection.attr("execute")("PRAGMA user_version").attr("fetchone")()[py::int_(0)].cast<int>();
    if (version >= static_cast<int>(MIGRATIONS.size())) return;
    connection.attr("execute")("BEGIN IMMEDIATE");
    try {
        for (std::size_t step = version; step < MIGRATIONS.size(); ++step)
            for (const char *statement : MIGRATIONS[step]) connection.attr("execute")(statement);
        connection.attr("execute")(py::str("PRAGMA user_version = {}").format(MIGRATIONS.size()));
        connection.attr("execute")("COMMIT");
    } catch (...) {
        connection.attr("execute")("ROLLBACK");
        throw;
    }
}

// The file readable and writable by its user only, where the system has such permissions.
void keep_private(const py::str &path) {
    py::object os = pymod("os");
    if (py::str(os.attr("name")).cast<std::string>() != "posix") return;
    for (const char *suffix : {"", "-wal", "-shm"}) {
        py::str file = py::str(path + py::str(suffix));
        if (py::bool_(os.attr("path").attr("exists")(file))) os.attr("chmod")(file, 0600);
    }
}

// Moves a damaged file (and its journal) aside, named with the date: "<file>.<date>.bad".
py::str set_aside(const py::str &path) {
    py::object os = pymod("os");
    py::str stamp = pymod("time").attr("strftime")("%Y-%m-%d-%H%M%S");
    py::str aside = py::str("{}.{}.bad").format(path, stamp);
    for (const char *suffix : {"-wal", "-shm"}) {
        py::str journal = py::str(path + py::str(suffix));
        if (py::bool_(os.attr("path").attr("exists")(journal)))
            os.attr("replace")(journal, py::str(aside + py::str(suffix)));
    }
    os.attr("replace")(path, aside);
    return aside;
}

bool damaged(py::error_already_set &e) {
    // "file is not a database", "database disk image is malformed": sqlite3.DatabaseError itself.
    return e.matches(sqlite().attr("DatabaseError")) && !e.matches(sqlite().attr("OperationalError"));
}

}  // namespace

// --- the log ----------------------------------------------------------------------------------

class CallLog {
public:
    CallLog(const py::str &path, long days, const py::str &region) : path_(path), days_(days), region_(region) {}

    // Opens (or makes) the file at start; what the user should be told, or "" when all is well.
    py::str open();
    void close();

    bool keeping_calls() const { return usable_ && days_ > 0; }
    bool usable() const { return usable_; }

    std::int64_t record(const py::str &number, const py::object &canonical, const py::str &source,
                        const py::object &contacts, const py::str &outcome, const py::str &detail);
    void outcome(std::int64_t id, const py::str &outcome, const py::str &detail, const py::object &contacts);
    void outcome_of(const py::str &number, const py::str &outcome, const py::str &detail);
    void event(std::int64_t id, const py::str &event_id);
    py::list recent(int limit, bool unknown_only);

    void save_index(const py::str &fingerprint, double read_at, const py::object &entries);
    py::object load_index(const py::str &fingerprint);

private:
    void write(const char *sql, const py::tuple &params);
    void start_writer();
    py::object reader();

    py::str path_;
    long days_;
    py::str region_;  // the office's country, for the canonical form of national numbers
    bool usable_ = false;
    std::int64_t last_id_ = 0;
    py::object jobs_ = py::none();  // (sql, params) for the writer; None ends it
    py::object writer_ = py::none();
    py::object readers_ = py::none();  // threading.local: a connection per reading thread
};

py::str CallLog::open() {
    py::str told("");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            py::object connection = connect(path_);
            connection.attr("execute")("PRAGMA journal_mode = WAL");
            migrate(connection);
            connection.attr("close")();
            keep_private(path_);
            usable_ = true;
            break;
        } catch (py::error_already_set &e) {
            if (attempt == 0 && damaged(e)) {
                py::str aside = set_aside(path_);
                told = tr("El registro de llamadas estaba dañado: se ha apartado como {} y se empieza uno nuevo.")
                           .attr("format")(pymod("os.path").attr("basename")(aside));
                continue;
            }
            if (!e.matches(PyExc_Exception)) throw;
            return tr("Las llamadas no se pueden guardar en esta carpeta: {}").attr("format")(failure_text(e.value()));
        }
    }
    readers_ = pymod("threading").attr("local")();
    start_writer();
    if (keeping_calls()) write("DELETE FROM calls WHERE at < ?", py::make_tuple(now() - days_ * SECONDS_A_DAY));
    return told;
}

void CallLog::start_writer() {
    jobs_ = pymod("queue").attr("SimpleQueue")();
    py::object jobs = jobs_;
    py::str path = path_;
    auto body = [jobs, path] {
        py::object connection = connect(path);
        while (true) {
            py::object job = jobs.attr("get")();
            if (job.is_none()) break;
            try {
                connection.attr("execute")("BEGIN IMMEDIATE");
                connection.attr("execute")(job[py::int_(0)], job[py::int_(1)]);
                // Whatever else waits goes in the same transaction.
                while (!py::bool_(jobs.attr("empty")())) {
                    py::object more = jobs.attr("get_nowait")();
                    if (more.is_none()) {
                        jobs.attr("put")(py::none());
                        break;
                    }
                    connection.attr("execute")(more[py::int_(0)], more[py::int_(1)]);
                }
                connection.attr("execute")("COMMIT");
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                if (py::bool_(connection.attr("in_transaction"))) connection.attr("execute")("ROLLBACK");
                py::print(py::str(tr("Registro de llamadas: ")) + failure_text(e.value()), "flush"_a = true);
            }
        }
        connection.attr("close")();
    };
    writer_ = start_daemon(py::cpp_function(body), "call-log");
}

void CallLog::close() {
    if (writer_.is_none()) return;
    jobs_.attr("put")(py::none());
    // What was recorded is written before the run ends; a file that hangs does not hold it long.
    writer_.attr("join")("timeout"_a = 2.0);
    writer_ = py::none();
}

void CallLog::write(const char *sql, const py::tuple &params) {
    if (usable_ && !jobs_.is_none()) jobs_.attr("put")(py::make_tuple(sql, params));
}

py::object CallLog::reader() {
    py::object connection = py::getattr(readers_, "connection", py::none());
    if (connection.is_none()) {
        connection = connect(path_);
        readers_.attr("connection") = connection;
    }
    return connection;
}

// Only what the log keeps of a contact: its id and name.
py::list brief(const py::handle &contacts) {
    py::list kept;
    for (py::handle contact : contacts)
        if (py::isinstance<py::dict>(contact) && contact.contains("id"))
            kept.append(py::dict("id"_a = contact[py::str("id")], "name"_a = contact.attr("get")("name", "")));
    return kept;
}

std::int64_t CallLog::record(const py::str &number, const py::object &written_canonical, const py::str &source,
                             const py::object &contacts, const py::str &outcome, const py::str &detail) {
    // Ids grow with time (microseconds), so the newest calls come first by id alone.
    std::int64_t id = static_cast<std::int64_t>(now() * 1e6);
    if (id <= last_id_) id = last_id_ + 1;
    last_id_ = id;
    if (!keeping_calls()) return id;
    py::object canonical = written_canonical;
    if (canonical.is_none()) canonical = pymod("crmapi").attr("numero_canonico")(number, region_);
    write(
        "INSERT INTO calls (id, at, number, canonical, source, contacts, outcome, detail) VALUES (?, ?, ?, ?, ?, ?, ?, "
        "?)",
        py::make_tuple(id, now(), number, canonical, source, pymod("json").attr("dumps")(brief(contacts)), outcome,
                       detail));
    return id;
}

void CallLog::outcome(std::int64_t id, const py::str &what, const py::str &detail, const py::object &contacts) {
    if (!keeping_calls()) return;
    if (contacts.is_none())
        write("UPDATE calls SET outcome = ?, detail = ? WHERE id = ?", py::make_tuple(what, detail, id));
    else
        write("UPDATE calls SET outcome = ?, detail = ?, contacts = ? WHERE id = ?",
              py::make_tuple(what, detail, pymod("json").attr("dumps")(brief(contacts)), id));
}

void CallLog::outcome_of(const py::str &number, const py::str &what, const py::str &detail) {
    if (!keeping_calls()) return;
    write("UPDATE calls SET outcome = ?, detail = ? WHERE id = (SELECT MAX(id) FROM calls WHERE number = ? AND at > ?)",
          py::make_tuple(what, detail, number, now() - OUTCOME_WINDOW_SECONDS));
}

void CallLog::event(std::int64_t id, const py::str &event_id) {
    if (keeping_calls()) write("UPDATE calls SET event = ? WHERE id = ?", py::make_tuple(event_id, id));
}

py::list CallLog::recent(int limit, bool unknown_only) {
    py::list rows;
    if (!keeping_calls()) return rows;
    std::string sql = std::string("SELECT ") + CALL_COLUMNS + " FROM calls" +
                      (unknown_only ? " WHERE contacts = '[]'" : "") + " ORDER BY id DESC LIMIT ?";
    py::object json = pymod("json");
    for (py::handle found : reader().attr("execute")(sql, py::make_tuple(limit)).attr("fetchall")()) {
        py::tuple row = py::reinterpret_borrow<py::tuple>(found);
        rows.append(py::dict("id"_a = row[0], "hora"_a = row[1], "numero"_a = row[2], "canonico"_a = row[3],
                             "origen"_a = row[4], "contactos"_a = json.attr("loads")(row[5]), "resultado"_a = row[6],
                             "detalle"_a = row[7], "evento"_a = row[8]));
    }
    return rows;
}

void CallLog::save_index(const py::str &fingerprint, double read_at, const py::object &entries) {
    write("INSERT OR REPLACE INTO contact_index (fingerprint, read_at, entries) VALUES (?, ?, ?)",
          py::make_tuple(fingerprint, read_at,
                         pymod("json").attr("dumps")(entries, "separators"_a = py::make_tuple(",", ":"))));
}

py::object CallLog::load_index(const py::str &fingerprint) {
    if (!usable_) return py::none();
    py::object row = reader()
                         .attr("execute")("SELECT read_at, entries FROM contact_index WHERE fingerprint = ?",
                                          py::make_tuple(fingerprint))
                         .attr("fetchone")();
    if (row.is_none()) return py::none();
    return py::make_tuple(row[py::int_(0)], pymod("json").attr("loads")(row[py::int_(1)]));
}

// --- Python ---------------------------------------------------------------------------------

py::object open_call_log(long days, const py::str &region, Runtime &runtime) {
    py::str path = pymod("os.path").attr("abspath")(FILE_NAME);
    py::object log = py::cast(std::make_shared<CallLog>(path, days, region));
    // A folder where nothing can be saved: the log stays off, as after a failed opening; the
    // settings have told the user already, for config.ini and the log at once.
    if (!settings_folder_writable(path)) return log;
    py::str told = log.cast<CallLog &>().open();
    if (py::len(told) > 0) post_notice(runtime, tr("Registro de llamadas"), told, "SYSTEM_TRAY_MESSAGE_ICON_WARNING");
    return log;
}

void close_call_log(const py::object &log) {
    if (!log.is_none()) log.cast<CallLog &>().close();
}

void register_store(py::module_ &m) {
    py::class_<CallLog, std::shared_ptr<CallLog>>(
        m, "registro",
        "The call log and the last contact index (llamadas.sqlite3 beside config.ini). Writes never wait: they go "
        "to a thread of their own.")
        .def(py::init([](const py::str &ruta, long dias, const py::object &pais) {
                 return std::make_shared<CallLog>(ruta, dias, py::str(office_region(pais)));
             }),
             "ruta"_a, "dias"_a = 90, "pais"_a = DEFAULT_REGION)
        .def("abrir", &CallLog::open,
             "Opens (or makes) the file; what the user should be told (a damaged file set aside, a folder where "
             "it cannot be written), or \"\" when all is well.")
        .def_property_readonly("activo", &CallLog::keeping_calls, "Whether calls are being kept.")
        .def("anotar", &CallLog::record, "numero"_a, "canonico"_a = py::none(), "origen"_a = "telefono",
             "contactos"_a = py::list(), "resultado"_a = "", "detalle"_a = "",
             "Records a call; its id, for the outcome that follows.")
        .def("resultado", &CallLog::outcome, "llamada"_a, "resultado"_a, "detalle"_a = "", "contactos"_a = py::none(),
             "What happened with a call recorded before.")
        .def("resultado_de", &CallLog::outcome_of, "numero"_a, "resultado"_a, "detalle"_a = "",
             "What happened with the latest call of this number (the form of a call, say).")
        .def("evento", &CallLog::event, "llamada"_a, "evento"_a, "The Holded event a call was logged as.")
        .def("recientes", &CallLog::recent, "limite"_a = 200, "solo_desconocidos"_a = false,
             "The newest calls, newest first (dicts).")
        .def("guardar_indice", &CallLog::save_index, "huella"_a, "leido"_a, "entradas"_a,
             "Keeps the contact index of a key (by its fingerprint, never the key).")
        .def("leer_indice", &CallLog::load_index, "huella"_a,
             "(read_at, entries) of the index kept for a key's fingerprint, or None.")
        .def("cerrar", &CallLog::close, "Writes what waits and ends the writer.");
}
