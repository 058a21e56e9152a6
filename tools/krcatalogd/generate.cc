// The example catalog: a deterministic catalog of jobs, media, clients and devices, written
// into a new SQLite file or an emptied PostgreSQL database through the same rows, so both hold
// the same catalog for a seed and a time.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalog.h"
#include "source.h"

namespace catalog {
namespace {

// splitmix64: small, fast and the same on every platform, so a seed gives one catalog.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  int64_t Below(int64_t n) { return n <= 0 ? 0 : static_cast<int64_t>(Next() % uint64_t(n)); }
  // Uniform in [0, 1).
  double Unit() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }
};

constexpr const char* kClientWords[] = {
    "apollo", "Bravo", "castor", "Delta", "ember",   "Falcon", "gemini", "Hermes",
    "iris",   "Juno",  "kepler", "Lyra",  "mercury", "Nova",   "orion",  "Pegasus",
    "quartz", "Rigel", "sirius", "Titan", "umbra",   "Vega",   "wotan",  "Xenon",
};
constexpr const char* kOses[] = {"Linux", "Windows", "macOS", "FreeBSD"};
constexpr const char* kSchedules[] = {"1111100", "1111111", "1010100", "0000011", "1000000"};
constexpr const char* kRetentions[] = {"30d", "4w", "6m", "1y", "90d"};
constexpr const char* kPools[] = {"Daily", "Weekly", "Monthly", "Archive"};

struct Device {
  const char* name;
  const char* type;
  const char* location;
  bool online;
};
constexpr Device kDevices[] = {
    {"Library A drive 1", "LTO-8", "Server room 1", true},
    {"Library A drive 2", "LTO-8", "Server room 1", true},
    {"Library B drive 1", "LTO-9", "Server room 2", true},
    {"Disk pool", "Disk", "Server room 2", true},
    {"Offsite vault", "Cloud", "Offsite", true},
    {"Spare drive", "LTO-7", "Store", false},
};

constexpr const char kSchema[] = R"sql(
CREATE TABLE clients (name TEXT PRIMARY KEY, os TEXT NOT NULL, quota INTEGER,
                      schedule TEXT NOT NULL, retention TEXT NOT NULL);
CREATE TABLE devices (deviceid INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL,
                      location TEXT NOT NULL, online INTEGER NOT NULL);
CREATE TABLE media (mediaid INTEGER PRIMARY KEY, label TEXT NOT NULL, pool TEXT NOT NULL,
                    deviceid INTEGER NOT NULL, capacity INTEGER NOT NULL, used INTEGER NOT NULL,
                    lastwritten INTEGER NOT NULL, expires INTEGER);
CREATE TABLE jobs (jobid INTEGER PRIMARY KEY, client TEXT NOT NULL, level TEXT NOT NULL,
                   status TEXT NOT NULL, size INTEGER NOT NULL, files INTEGER NOT NULL,
                   starttime INTEGER NOT NULL, duration INTEGER NOT NULL,
                   mediaid INTEGER NOT NULL);
)sql";

constexpr const char kIndexes[] = R"sql(
CREATE INDEX jobs_starttime ON jobs(starttime);
CREATE INDEX jobs_status ON jobs(status);
CREATE INDEX jobs_size ON jobs(size);
CREATE INDEX jobs_client ON jobs(client);
)sql";

// The schema in PostgreSQL: the same tables with 64-bit integer columns.
std::string PostgresSchema() {
  std::string s = "DROP TABLE IF EXISTS jobs, media, clients, devices;\n";
  s += kSchema;
  for (size_t at; (at = s.find("INTEGER")) != std::string::npos;) s.replace(at, 7, "BIGINT");
  return s;
}

bool WriteClients(CatalogWriter* w, Random& rng, int64_t count, std::vector<std::string>* names,
                  std::string* error) {
  constexpr int64_t kGB = 1024ll * 1024 * 1024;
  if (!w->Begin("clients", 5, error)) return false;
  for (int64_t i = 0; i < count; ++i) {
    std::string name = kClientWords[i % 24];
    if (i >= 24) name += std::to_string(i / 24);
    names->push_back(name);
    const char* os = kOses[rng.Below(4)];
    Cell quota = Cell::Null();  // unlimited
    if (rng.Below(5) != 0) quota = Cell::Int((100 + rng.Below(20) * 50) * kGB);
    const char* schedule = kSchedules[rng.Below(5)];
    const char* retention = kRetentions[rng.Below(5)];
    if (!w->Row({Cell::Text(names->back().c_str()), Cell::Text(os), quota, Cell::Text(schedule),
                 Cell::Text(retention)},
                error)) {
      return false;
    }
  }
  return w->End(error);
}

bool WriteDevices(CatalogWriter* w, std::string* error) {
  if (!w->Begin("devices", 5, error)) return false;
  int64_t id = 1;
  for (const Device& d : kDevices) {
    if (!w->Row({Cell::Int(id++), Cell::Text(d.name), Cell::Text(d.type), Cell::Text(d.location),
                 Cell::Int(d.online ? 1 : 0)},
                error)) {
      return false;
    }
  }
  return w->End(error);
}

bool WriteMedia(CatalogWriter* w, Random& rng, int64_t count, int64_t now, std::string* error) {
  constexpr int64_t kDay = 86400;
  constexpr int64_t kGB = 1024ll * 1024 * 1024;
  if (!w->Begin("media", 8, error)) return false;
  for (int64_t i = 1; i <= count; ++i) {
    char label[32];
    std::snprintf(label, sizeof label, "VOL%05lld", static_cast<long long>(i));
    const char* pool = kPools[rng.Below(4)];
    const int64_t capacity = (rng.Below(2) == 0 ? 12000 : 18000) * kGB;
    const int64_t last = now - rng.Below(90 * kDay);
    const int64_t device = 1 + rng.Below(5);
    const int64_t used = static_cast<int64_t>(static_cast<double>(capacity) * rng.Unit());
    Cell expires = Cell::Null();  // archives never expire
    if (std::strcmp(pool, "Archive") != 0) expires = Cell::Int(last + (7 + rng.Below(120)) * kDay);
    if (!w->Row({Cell::Int(i), Cell::Text(label), Cell::Text(pool), Cell::Int(device),
                 Cell::Int(capacity), Cell::Int(used), Cell::Int(last), expires},
                error)) {
      return false;
    }
  }
  return w->End(error);
}

bool WriteJobs(CatalogWriter* w, Random& rng, int64_t jobs, int64_t now, int64_t media_count,
               const std::vector<std::string>& clients, std::string* error) {
  constexpr int64_t kDay = 86400;
  if (!w->Begin("jobs", 9, error)) return false;
  const auto client_count = static_cast<int64_t>(clients.size());
  for (int64_t id = 1; id <= jobs; ++id) {
    // A few busy clients and a long tail.
    const double u = rng.Unit();
    const int64_t client = static_cast<int64_t>(u * u * double(client_count));
    const int64_t lv = rng.Below(100);
    const char* level = lv < 12 ? "Full" : lv < 30 ? "Differential" : "Incremental";
    const int64_t sv = rng.Below(100);
    const char* status = sv < 86 ? "OK" : sv < 93 ? "Warning" : sv < 98 ? "Failed" : "Cancelled";
    // Sizes spread over six orders of magnitude; fulls are larger.
    const double scale = lv < 12 ? 1e9 : lv < 30 ? 2e8 : 5e7;
    int64_t size = static_cast<int64_t>(scale * rng.Unit() * rng.Unit() * 4.0);
    int64_t files = size / (20000 + rng.Below(400000)) + rng.Below(50);
    if (sv >= 93 && sv < 98) {  // failed jobs wrote little
      size /= 50;
      files /= 50;
    }
    const int64_t start = now - 1 - rng.Below(90 * kDay);
    const int64_t duration = 30 + size / (40 * 1024 * 1024) + rng.Below(600);
    const int64_t medium = 1 + rng.Below(media_count);
    if (!w->Row({Cell::Int(id), Cell::Text(clients[static_cast<size_t>(client)].c_str()),
                 Cell::Text(level), Cell::Text(status), Cell::Int(size), Cell::Int(files),
                 Cell::Int(start), Cell::Int(duration), Cell::Int(medium)},
                error)) {
      return false;
    }
  }
  return w->End(error);
}

}  // namespace

int Generate(const std::string& catalog, const GenerateOptions& options, std::string* error) {
  std::unique_ptr<CatalogWriter> w = IsPostgres(catalog) ? CreatePostgresWriter(catalog, error)
                                                         : CreateSqliteWriter(catalog, error);
  if (!w) return 0;
  const std::string schema = w->Postgres() ? PostgresSchema() : std::string(kSchema);
  if (!w->Exec(schema, error) || !w->Exec("BEGIN", error)) return 0;
  Random rng{options.seed};
  const int64_t jobs = options.jobs < 0 ? 0 : options.jobs;
  // Clients: a few dozen for a small catalog, a few hundred for a large one.
  const int64_t client_count = jobs >= 100000 ? 240 : 24;
  const int64_t media_count = 12 + jobs / 2000;
  std::vector<std::string> clients;
  if (!WriteClients(w.get(), rng, client_count, &clients, error) || !WriteDevices(w.get(), error) ||
      !WriteMedia(w.get(), rng, media_count, options.now, error) ||
      !WriteJobs(w.get(), rng, jobs, options.now, media_count, clients, error)) {
    return 0;
  }
  if (!w->Exec(kIndexes, error) || !w->Exec("COMMIT", error) || !w->Exec("ANALYZE", error)) {
    return 0;
  }
  return 1;
}

}  // namespace catalog
