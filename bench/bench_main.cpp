// Speed of the matcher, the walk, name lookup, whole kormald runs, and the
// hive loader. Memory of a large hive is measured on whole processes (see
// the README), not here.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lister/lister.h"
#include "pathpattern/pathpattern.h"
#include "regwalk/regwalk.h"
#include "testkit/hive_writer.h"
#include "testkit/hostile_shapes.h"
#include "testkit/walk_everything.h"
#include "hive/hive.h"
#include "hive/layout.h"
#include "regfile/regfile.h"
#include "sources/sources.h"
#include "store/store.h"

namespace {

// A Windows 9x layout grown to about `keys` keys: ten hdc instances whose
// device nodes sit under Enum\MF, and the rest of the keys under Enum\PCI.
std::unique_ptr<store::Registry> GeneratedRegistry(int keys) {
  auto reg = std::make_unique<store::Registry>();
  std::uint32_t lm = reg->RootNode(store::Root::kLocalMachine, true);
  std::uint32_t cls = lm;
  for (const char* name : {"System", "CurrentControlSet", "Services", "Class", "hdc"}) {
    cls = reg->FindOrAddChild(cls, name);
  }
  std::uint32_t enumKey = reg->FindOrAddChild(lm, "Enum");
  std::uint32_t mf = reg->FindOrAddChild(enumKey, "MF");
  std::uint32_t pci = reg->FindOrAddChild(enumKey, "PCI");
  int made = 10;
  for (int i = 0; i < 10; ++i) {
    char instance[8], driver[16];
    std::snprintf(instance, sizeof instance, "%04d", i);
    std::snprintf(driver, sizeof driver, "hdc\\%04d", i);
    std::uint32_t key = reg->FindOrAddChild(cls, instance);
    reg->SetValue(key, "PortDriver", REG_SZ, reg->Keep(std::string_view("ESDI_506.pdr\0", 13)));
    reg->SetValue(key, "InfPath", REG_SZ, reg->Keep(std::string_view("MSHDC.INF\0", 10)));
    reg->SetValue(key, "DriverDesc", REG_SZ, reg->Keep(std::string_view("IDE controller\0", 15)));
    std::uint32_t child = reg->FindOrAddChild(mf, "CHILD" + std::string(instance));
    std::uint32_t node = reg->FindOrAddChild(child, "PCI&VEN_8086&DEV_7111");
    reg->SetValue(node, "Driver", REG_SZ, reg->Keep(std::string(driver) + '\0'));
    made += 3;
  }
  for (int vendor = 0; made < keys; ++vendor) {
    std::uint32_t v = reg->FindOrAddChild(pci, "VEN_" + std::to_string(1000 + vendor) + "&DEV_7111&SUBSYS_00000000");
    ++made;
    for (int d = 0; d < 9 && made < keys; ++d, ++made) {
      std::uint32_t dev = reg->FindOrAddChild(v, "BUS_00&DEV_" + std::to_string(d) + "&FUNC_01");
      reg->SetValue(dev, "Driver", REG_SZ, reg->Keep(std::string_view("System\\0001\0", 12)));
      reg->SetValue(dev, "Class", REG_SZ, reg->Keep(std::string_view("System\0", 7)));
    }
  }
  return reg;
}

void BM_MatchPathLiteral(benchmark::State& state) {
  const char* pattern = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Servic";  // 50 characters
  std::vector<std::string> texts = {
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\h",
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\IDConfig",
      "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_7111&SUBSYS_0000000",
      "hkey_local_machine\\system\\currentcontrolset\\services\\class\\h",
  };
  for (const std::string& t : texts) {
    if (t.size() != 60) state.SkipWithError("texts must be 60 characters");
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(MatchPath(pattern, texts[i++ & 3].c_str(), MATCH_FOLD_CASE));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_MatchPathLiteral);

int CountKey(HKEY, const char*, std::intptr_t user) {
  ++*reinterpret_cast<std::int64_t*>(user);
  return 0;
}

void BM_WalkEveryKey(benchmark::State& state) {
  store::InstallRegistry(GeneratedRegistry(static_cast<int>(state.range(0))));
  std::int64_t visited = 0;
  for (auto _ : state) {
    if (WalkKeys(nullptr, 1, CountKey, reinterpret_cast<std::intptr_t>(&visited)) != 0) {
      state.SkipWithError("walk failed");
    }
  }
  state.SetItemsProcessed(visited);
}
BENCHMARK(BM_WalkEveryKey)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_WalkUnderPattern(benchmark::State& state) {
  store::InstallRegistry(GeneratedRegistry(100000));
  std::int64_t visited = 0;
  for (auto _ : state) {
    WalkKeys("HKEY_LOCAL_MACHINE\\Enum\\PCI\\**", 1, CountKey, reinterpret_cast<std::intptr_t>(&visited));
  }
  state.SetItemsProcessed(visited);
}
BENCHMARK(BM_WalkUnderPattern)->Unit(benchmark::kMillisecond);

// Opening a subkey by name must cost the same among 10 siblings as among
// 100,000. Both parents live in one registry and the same number of names
// is looked up in turn, so that only the sibling count differs.
void BM_OpenSubkeyAmongSiblings(benchmark::State& state) {
  auto siblings = static_cast<int>(state.range(0));
  auto reg = std::make_unique<store::Registry>();
  std::uint32_t lm = reg->RootNode(store::Root::kLocalMachine, true);
  std::uint32_t few = reg->FindOrAddChild(lm, "Few");
  std::uint32_t many = reg->FindOrAddChild(lm, "Many");
  for (int i = 0; i < 100000; ++i) {
    std::string name = "VEN_" + std::to_string(i) + "&DEV_7111";
    if (i < 10) reg->FindOrAddChild(few, name);
    reg->FindOrAddChild(many, name);
  }
  store::InstallRegistry(std::move(reg));
  std::vector<std::string> names;
  for (int i = 0; i < 10; ++i) names.push_back("VEN_" + std::to_string(i * (siblings / 10)) + "&DEV_7111");
  HKEY parent = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, siblings == 10 ? "Few" : "Many", 0, 0, &parent);
  std::size_t i = 0;
  for (auto _ : state) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, names[i++ % names.size()].c_str(), 0, 0, &key) != ERROR_SUCCESS) {
      state.SkipWithError("open failed");
    }
    RegCloseKey(key);
  }
  RegCloseKey(parent);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_OpenSubkeyAmongSiblings)->Arg(10)->Arg(100000);

// A whole listing, its output thrown away.
void RunKormald(std::vector<std::string> args) {
  args.insert(args.begin(), "kormald");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  KormaldMain(static_cast<int>(args.size()), argv.data());
}

// Sends standard output to /dev/null while a listing runs, and back after.
struct QuietStdout {
  int saved;
  QuietStdout() : saved(::dup(1)) {
    std::fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
  }
};

void BM_KormaldGenerated(benchmark::State& state) {
  store::InstallRegistry(GeneratedRegistry(100000));
  QuietStdout quiet;
  std::vector<std::string> args;
  if (state.range(0) != 0) args.push_back("+ALL");
  for (auto _ : state) RunKormald(args);
}
BENCHMARK(BM_KormaldGenerated)->Arg(0)->Arg(1)->ArgNames({"all"})->Unit(benchmark::kMillisecond);

const char kHive[] = KORMALD_SOURCE_DIR "/../shared/data/win9x/SYSTEM.DAT";

bool HaveHive() {
  struct stat st {};
  return ::stat(kHive, &st) == 0;
}

// Opening the real hive (lazily: header and block headers), and opening it
// and decoding every key.
void BM_LoadRealHive(benchmark::State& state) {
  if (!HaveHive()) return state.SkipWithError("no shared hive");
  std::string error;
  for (auto _ : state) {
    auto reg = sources::LoadSources({kHive}, &error);
    if (state.range(0) != 0) reg->DecodeAll();
    benchmark::DoNotOptimize(reg.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1220640);
}
BENCHMARK(BM_LoadRealHive)->Arg(0)->Arg(1)->ArgNames({"whole"})->Unit(benchmark::kMicrosecond);

void BM_FourListingsOnRealHive(benchmark::State& state) {
  if (!HaveHive()) return state.SkipWithError("no shared hive");
  QuietStdout quiet;
  std::string error;
  for (auto _ : state) {
    sources::InstallSources({kHive}, &error);
    RunKormald({});
    RunKormald({"-SCSI"});
    RunKormald({"+ALL"});
    RunKormald({"-SCSI", "+ALL"});
  }
}
BENCHMARK(BM_FourListingsOnRealHive)->Unit(benchmark::kMicrosecond);

// A hive shaped like a real one, a few values per key: 10,000 keys and
// some a branch.
std::string HiveOfBranches(int branches) {
  hive_writer::Key root{"", {}, {}};
  for (int a = 0; a < branches; ++a) {
    hive_writer::Key top{"Branch" + std::to_string(a), {}, {}};
    for (int b = 0; b < 100; ++b) {
      hive_writer::Key mid{"VEN_" + std::to_string(b) + "&DEV_7111", {{"Class", 1, "hdc"}}, {}};
      for (int c = 0; c < 99; ++c) {
        mid.children.push_back(hive_writer::Key{
            "BUS_00&DEV_" + std::to_string(c),
            {{"Driver", 1, "hdc\\0001"}, {"DeviceDesc", 1, "Primary IDE controller (dual fifo)"},
             {"ConfigFlags", 3, std::string(4, '\0')}},
            {}});
      }
      top.children.push_back(std::move(mid));
    }
    root.children.push_back(std::move(top));
  }
  return hive_writer::Write(root).bytes;
}

// A million keys. The benchmark below decodes it whole, as a full walk
// would.
const std::string& MillionKeyHive() {
  static const std::string bytes = HiveOfBranches(100);
  return bytes;
}

void BM_LoadMillionKeyHive(benchmark::State& state) {
  const std::string& bytes = MillionKeyHive();
  for (auto _ : state) {
    auto reg = std::make_unique<store::Registry>();
    std::string error;
    if (!hive::LoadHive(*reg, hive::CopyHiveBytes(bytes), "BIG.DAT", std::nullopt, &error)) {
      state.SkipWithError(error.c_str());
    }
    reg->DecodeAll();
    state.counters["keys"] = static_cast<double>(reg->NodeCount());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_LoadMillionKeyHive)->Unit(benchmark::kMillisecond)->Iterations(3);

// Hostile shapes: load and walk each, at the sizes the tests hold to a work
// budget. Before they were mended, the first two took 1.0 s and 5.2 s.
struct Shape {
  const char* name;
  std::string bytes;
};

const std::vector<Shape>& Shapes() {
  static const std::vector<Shape> shapes = {
      {"values_in_one_key_40000", hostile_shapes::ManyValues(40000)},
      {"hex_continued_over_8000_lines", hostile_shapes::LongHex(8000)},
      {"nesting_500_names_of_255", hostile_shapes::DeepLongNames(500, 255)},
      {"deleted_one_by_one_20000", hostile_shapes::DeletedOneByOne(20000)},
      {"damaged_siblings_30000", hostile_shapes::DamagedSiblings(30000)},
      {"same_named_siblings_30000", hostile_shapes::SameNamedSiblings(30000)},
      {"same_numbered_blocks_65534_keys_20000", hostile_shapes::SameNumberedBlocks(65534, 20000)},
  };
  return shapes;
}

void BM_HostileShape(benchmark::State& state) {
  const Shape& shape = Shapes()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(shape.name);
  for (auto _ : state) {
    auto reg = std::make_unique<store::Registry>();
    std::string error;
    bool ok;
    if (shape.bytes.starts_with("CREG")) {
      ok = hive::LoadHive(*reg, hive::CopyHiveBytes(shape.bytes), "SHAPE.DAT", std::nullopt, &error);
    } else {
      ok = regfile::LoadRegFile(*reg, shape.bytes, "shape.reg", &error);
    }
    if (!ok) return state.SkipWithError(error.c_str());
    store::InstallRegistry(std::move(reg));
    WalkKeys(nullptr, 1, ReadKeyValues, 0);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * shape.bytes.size()));
}
BENCHMARK(BM_HostileShape)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);

}  // namespace

// With an argument, writes the million-key hive to that file instead, for
// whole-process time and memory measurements.
// A pair for timing --diff against damage: OLD holds n keys, and NEW the
// same keys with each one's name damaged (a NUL byte in it), so that every
// key OLD holds is missing from NEW and may lie under its damage.
bool WriteDamagedPair(int n, const char* oldPath, const char* newPath) {
  hive_writer::Key a{"A", {}, {}};
  for (int i = 0; i < n; ++i) {
    std::string name = std::to_string(i);
    a.children.push_back(hive_writer::Key{name.insert(0, 1, 'K'), {{"v", 1, "x"}}, {}});
  }
  hive_writer::Key root{"", {}, {std::move(a)}};
  hive_writer::Hive old = hive_writer::Write(root);
  hive_writer::Hive damaged = old;
  for (std::size_t k = 2; k < damaged.recordAt.size(); ++k) {
    damaged.bytes[damaged.recordAt[k] + hive::layout::record::kName + 1] = '\0';
  }
  std::ofstream o(oldPath, std::ios::binary), d(newPath, std::ios::binary);
  o.write(old.bytes.data(), static_cast<std::streamsize>(old.bytes.size()));
  d.write(damaged.bytes.data(), static_cast<std::streamsize>(damaged.bytes.size()));
  return o && d;
}

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--write-damaged-pair") == 0) {
    return WriteDamagedPair(std::stoi(argv[2]), argv[3], argv[4]) ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "--write-million-key-hive") == 0) {
    std::ofstream out(argv[2], std::ios::binary);
    out.write(MillionKeyHive().data(), static_cast<std::streamsize>(MillionKeyHive().size()));
    return out ? 0 : 1;
  }
  if (argc == 4 && std::strcmp(argv[1], "--write-hive-of-branches") == 0) {
    std::string bytes = HiveOfBranches(std::stoi(argv[2]));
    std::ofstream out(argv[3], std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
