// The Python package's native part: registries opened as the tools open
// them, walked by the library's walker, their text decoded by the rules
// regwalk --json writes by (tools/registry_text.h). It holds no rule of its
// own: where the package needs one the tools hold, the rule lives in
// tools/ and both call it.
//
// Several registries live at once, each a store::Installation; every call
// into the store is made under one lock with its registry served, and with
// the GIL released, so that Python threads go on while a source loads or a
// walk reads. A walk runs on a thread of its own, one batch of keys ahead
// of its reader, so that it yields lazily without the walker's recursion
// being taken apart.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "imagemodule/image_module.h"
#include "pathpattern/pathpattern.h"
#include "python/objects.h"
#include "python/walk.h"
#include "sources/codepage.h"
#include "sources/image_client.h"
#include "sources/sources.h"
#include "store/api.h"
#include "store/store.h"
#include "tools/controllers.h"
#include "tools/keys.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/options.h"
#include "tools/regwalk/run.h"
#include "winreg/winreg.h"

namespace kormald_python {

namespace {

// What Python holds for an opened registry.
class PyRegistry {
 public:
  PyRegistry(Shared loaded, std::vector<std::string> notes, std::string source, py::object codepage)
      : loaded_(std::move(loaded)), notes_(std::move(notes)), source_(std::move(source)), codepage_(std::move(codepage)) {}

  Shared& loaded() {
    if (!loaded_) {
      PyErr_SetString(g_error, "the registry is closed");
      throw py::error_already_set();
    }
    return loaded_;
  }

  PyKey key(py::handle path) {
    Shared& loaded = this->loaded();
    std::string stored;
    if (!loaded->Stored(path, &stored)) throw py::key_error(py::str(path).cast<std::string>());
    stored = tools::LongRootNames(stored);
    LONG rc = ERROR_SUCCESS;
    {
      Serving serving(*loaded);
      HKEY key = nullptr;
      rc = tools::OpenPath(stored, &key);
      if (rc == ERROR_SUCCESS) tools::CloseOpened(key);
    }
    if (rc != ERROR_SUCCESS) RaiseRegistryError(py::str(path).cast<std::string>(), rc);
    return PyKey(loaded, stored);
  }

  std::unique_ptr<PyWalk> walk(py::object pattern, bool recursive) {
    Shared& loaded = this->loaded();
    std::optional<std::string> stored;
    if (!pattern.is_none()) {
      std::string converted;
      // A character the codepage cannot hold: no key matches.
      if (!loaded->Stored(pattern, &converted)) return std::make_unique<PyWalk>(loaded, PyWalk::kNothing);
      stored = tools::LongRootNames(converted);
    }
    return std::make_unique<PyWalk>(loaded, std::move(stored), recursive);
  }

  // Every damaged key, one message each, as the tools word them.
  std::vector<std::string> damage() {
    Shared& loaded = this->loaded();
    std::vector<std::string> messages;
    Serving serving(*loaded);
    store::Registry& reg = loaded->installation().registry();
    reg.DecodeAll();
    for (std::uint32_t i = 1; i <= reg.DamageCount(); ++i) {
      const store::Damage& d = reg.DamageRecord(i);
      const store::Node& key = reg.node(d.node);
      std::string path = key.name.empty() ? reg.PathOf(key.parent) + '\\' : reg.PathOf(d.node);
      messages.push_back(tools::DamageMessage(d, loaded->Readable(path)));
    }
    return messages;
  }

  const std::vector<std::string>& notes() const { return notes_; }
  int codepage() { return loaded()->codepage(); }
  void close() { loaded_.reset(); }
  const std::string& source() const { return source_; }
  py::object codepageChoice() const { return codepage_; }

 private:
  Shared loaded_;
  std::vector<std::string> notes_;
  std::string source_;
  py::object codepage_;
};

std::unique_ptr<PyRegistry> Open(const std::string& source, py::object codepage) {
  std::string choice;
  if (!codepage.is_none()) choice = py::str(codepage).cast<std::string>();
  std::string error;
  std::unique_ptr<store::Registry> reg;
  std::vector<std::string> notes;
  int textCodepage = 0;
  {
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> lock(g_store);
    std::vector<sources::SourceFile> files;
    if (source.empty()) {
      error = "no source named";
    } else if (tools::ListSourceText(source, &files, &error)) {
      reg = tools::LoadRegistry(files, choice, "codepage", &error);
    }
    if (reg) {
      notes = reg->LoadNotes();
      textCodepage = sources::RegistryCodepage(*reg);
    }
  }
  if (!reg) RaiseSourceError(error);
  return std::make_unique<PyRegistry>(std::make_shared<Loaded>(std::move(reg), textCodepage), std::move(notes), source,
                                      codepage);
}

py::list Controllers(PyRegistry& registry, bool scsi, bool all) {
  int mode = (scsi ? tools::controllers::kModeScsi : 0) | (all ? tools::controllers::kModeAll : 0);
  tools::controllers::Explained explained;
  {
    Serving serving(*registry.loaded());
    explained = tools::controllers::ExplainInstances(mode, {});
  }
  if (explained.result != 0 || explained.searchEndedEarly) {
    std::string message = std::string("the walk of ") + tools::controllers::ClassPath(mode) +
                          " ended early: " + tools::DescribeResult(explained.result);
    PyErr_SetString(g_error, message.c_str());
    throw py::error_already_set();
  }
  const Loaded& loaded = *registry.loaded();
  py::list rows;
  for (const tools::controllers::Fate& f : explained.fates) {
    if (f.kind != tools::controllers::Fate::Kind::kListed) continue;
    const tools::controllers::Instance& i = f.instance;
    rows.append(py::make_tuple(loaded.Decode(std::string_view(f.key).substr(f.key.size() - 2)),
                               loaded.Decode(i.portDriver), loaded.Decode(i.infPath), loaded.Decode(i.driverDesc),
                               loaded.Decode(f.key), loaded.Decode(f.deviceNode), loaded.Decode(f.row)));
  }
  return rows;
}

// What --list-images --json gives, a dict a record: "record" its kind, a
// number's field an int, a text's field a str (bytes that are not UTF-8 as
// '?', with the bytes beside it under NAME_bytes).
py::list ListImages(const std::string& source) {
  struct Record {
    std::string kind;
    std::vector<std::string> fields;
  };
  std::vector<Record> records;
  std::vector<std::string> notes;
  std::string error;
  bool listed = false;
  {
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> lock(g_store);
    listed = sources::ListImageSource(
        source, [&](const std::string& kind, const std::vector<std::string>& fields) { records.push_back({kind, fields}); },
        &notes, &error);
  }
  if (!listed) RaiseSourceError(error);
  py::list list;
  for (const Record& r : records) {
    py::dict record;
    record["record"] = r.kind;
    for (const KormaldRecordKind& kind : kImageRecords) {
      if (r.kind != kind.kind) continue;
      for (std::size_t i = 0; i < r.fields.size() && i < kind.count; ++i) {
        const std::string& field = r.fields[i];
        if (kind.fields[i].number != 0) {
          record[kind.fields[i].name] = py::int_(std::stoll(field));
        } else if (text::IsValidUtf8(field)) {
          record[kind.fields[i].name] = py::str(field);
        } else {
          std::string shown;
          for (char c : field) shown += static_cast<unsigned char>(c) < 0x80 ? c : '?';
          record[kind.fields[i].name] = py::str(shown);
          record[(std::string(kind.fields[i].name) + "_bytes").c_str()] = py::bytes(field);
        }
      }
    }
    list.append(record);
  }
  return list;
}

// A regwalk command, run as the tool runs it on the process's own registry
// (the one no Registry of Python's is): its status, what it wrote, and its
// messages, each without the program's name.
py::tuple RunCommand(tools::regwalk::Options& options, py::object pattern, py::object codepage,
                     int (*command)(const tools::regwalk::Options&, const regfile::ExportFile::Put*)) {
  std::optional<std::string> typed;
  if (!pattern.is_none()) typed = py::str(pattern).cast<std::string>();
  std::optional<std::string> choice;
  if (!codepage.is_none()) choice = py::str(codepage).cast<std::string>();
  options.pattern = typed ? typed->c_str() : nullptr;
  int status = 0;
  std::string text;
  std::vector<std::string> messages;
  {
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> lock(g_store);
    store::Serve(nullptr);
    const std::string prefix = std::string(tools::regwalk::kProgram) + ": ";
    tools::SetCodepageChoice(choice);
    tools::SetMessageSink([&](std::string_view message) {
      if (message.starts_with(prefix)) message.remove_prefix(prefix.size());
      if (message.ends_with('\n')) message.remove_suffix(1);
      messages.emplace_back(message);
    });
    regfile::ExportFile::Put put = [&](std::string_view bytes) { text.append(bytes); };
    struct Done {
      ~Done() {
        tools::EndRun();
        tools::SetMessageSink(nullptr);
        tools::SetCodepageChoice(std::nullopt);
        // The registry the command read stays installed after it: let it go.
        store::InstallRegistry(std::make_unique<store::Registry>());
      }
    } done;
    status = command(options, &put);
  }
  return py::make_tuple(status, py::bytes(text), messages);
}

// regwalk --diff OLD NEW, --json or as a .reg file.
py::tuple RunDiff(const std::string& oldList, const std::string& newList, py::object pattern, bool json,
                  py::object codepage) {
  tools::regwalk::Options options;
  options.command = tools::regwalk::Command::kDiff;
  options.diffOld = oldList;
  options.diffNew = newList;
  options.json = json;
  return RunCommand(options, std::move(pattern), std::move(codepage), tools::regwalk::Diff);
}

// regwalk -f SOURCE... --deleted --json.
py::tuple RunDeleted(const std::string& source, py::object pattern, py::object codepage) {
  tools::regwalk::Options options;
  options.command = tools::regwalk::Command::kDeleted;
  options.files = sources::SplitSourceList(source);
  options.json = true;
  return RunCommand(options, std::move(pattern), std::move(codepage), tools::regwalk::Deleted);
}

std::string Utf8Or(py::handle text) {
  return py::isinstance<py::bytes>(text) ? text.cast<std::string>() : text.cast<std::string>();
}

int Match(py::handle pattern, py::handle path) {
  std::string p = tools::LongRootNames(Utf8Or(pattern));
  std::string t = tools::LongRootNames(Utf8Or(path));
  return MatchPath(p.c_str(), t.c_str(), MATCH_FOLD_CASE);
}

py::tuple Split(py::handle pattern) {
  std::string p = tools::LongRootNames(Utf8Or(pattern));
  const char* rest = nullptr;
  char* leading = SplitLiteralPrefix(p.c_str(), &rest);
  if (leading == nullptr) throw py::value_error("the pattern holds a control character");
  py::tuple split = py::make_tuple(py::str(leading), py::str(rest));
  FreeBytes(leading);
  return split;
}

}  // namespace

}  // namespace kormald_python

using namespace kormald_python;

PYBIND11_MODULE(_kormald, m) {
  m.doc() = "The native part of the kormald package; import kormald instead.";
  m.attr("__version__") = KORMALD_VERSION;

  g_error = PyErr_NewExceptionWithDoc("kormald.Error", "A source that cannot be read, with the tools' message.",
                                      PyExc_Exception, nullptr);
  g_notFound = PyErr_NewExceptionWithDoc("kormald.NotFoundError", "A source, or a file it names, is not there.",
                                         g_error, nullptr);
  g_notRegistry = PyErr_NewExceptionWithDoc("kormald.NotARegistryError",
                                            "A source that is not a registry file, a directory or an image.",
                                            g_error, nullptr);
  g_noSnapshot = PyErr_NewExceptionWithDoc("kormald.NoSuchSnapshotError",
                                           "A machine or an image holds no saved state of the name or ID asked for.",
                                           g_error, nullptr);
  m.attr("Error") = py::handle(g_error);
  m.attr("NotFoundError") = py::handle(g_notFound);
  m.attr("NotARegistryError") = py::handle(g_notRegistry);
  m.attr("NoSuchSnapshotError") = py::handle(g_noSnapshot);

  m.def("_set_image_module", [](const std::string& path) { sources::SetImageModulePath(path); });

  py::class_<PyValue>(m, "Value", "A value of a key, as its source stores it.")
      .def_property_readonly("name", &PyValue::name, "The name, decoded from the registry's codepage.")
      .def_property_readonly("name_bytes", &PyValue::nameBytes, "The name's bytes as stored.")
      .def_property_readonly("type", &PyValue::type, "The type code (1 for REG_SZ, 4 for REG_DWORD...).")
      .def_property_readonly("type_name", &PyValue::typeName, "'REG_SZ' and the like; None for a code Windows names not.")
      .def_property_readonly("data", &PyValue::data, "The data's bytes, exactly as stored.")
      .def_property_readonly("terminated", &PyValue::terminated,
                             "For REG_SZ and REG_EXPAND_SZ, whether a NUL ends the stored bytes; None otherwise.")
      .def_property_readonly("value", &PyValue::value,
                             "str for a string, int for a DWORD, list of str for a multi-string, bytes otherwise.")
      .def("__repr__", &PyValue::repr);

  py::class_<PyKey>(m, "Key", "A key of a registry, known by its full path.")
      .def_property_readonly("path", &PyKey::path, "The full path, decoded from the registry's codepage.")
      .def_property_readonly("path_bytes", &PyKey::pathBytes, "The full path's bytes as stored.")
      .def_property_readonly("name", &PyKey::name, "The last name of the path.")
      .def_property_readonly("name_bytes", &PyKey::nameBytes, "The last name's bytes as stored.")
      .def("subkeys", &PyKey::subkeys, "The subkeys, in the order their source gives.")
      .def("values", &PyKey::values, "The values, in the order their source gives.")
      .def("value", &PyKey::value, py::arg("name"), "The value of that name (letter case aside); KeyError if none.")
      .def("__repr__", &PyKey::repr);

  py::class_<PyWalk>(m, "Walk", "The keys a pattern selects, yielded in the walk's order as the walk reads them.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &PyWalk::Next);

  py::class_<PyRegistry>(m, "Registry", "A registry, read from its sources.")
      .def("key", &PyRegistry::key, py::arg("path"), "The key of a full path; KeyError if there is none.")
      .def("walk", &PyRegistry::walk, py::arg("pattern") = "HKEY_LOCAL_MACHINE\\**", py::arg("recursive") = true,
           py::keep_alive<0, 1>(), "The keys a pattern selects, lazily, in the walk's order.")
      .def_property_readonly("damage", &PyRegistry::damage, "What could not be read, one message a damaged key.")
      .def_property_readonly("notes", &PyRegistry::notes, "What loading left out or changed, one message each.")
      .def_property_readonly("codepage", &PyRegistry::codepage, "The codepage of the registry's text (0: raw).")
      .def_property_readonly("source", &PyRegistry::source, "The source it was read from, as open() took it.")
      .def_property_readonly("_codepage_choice", &PyRegistry::codepageChoice)
      .def("close", &PyRegistry::close, "Lets the registry go; it can be used no more.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyRegistry& self, py::args) { self.close(); });

  m.def("open", &Open, py::arg("source"), py::arg("codepage") = py::none(),
        "Reads the registry of a source as KORMALD_REGISTRY names it.");
  m.def("_controllers", &Controllers);
  m.def("_diff", &RunDiff);
  m.def("_deleted", &RunDeleted);
  m.def("_error_class", [](const std::string& message) { return py::handle(SourceErrorClass(message)); });
  m.def("list_images", &ListImages, py::arg("source"),
        "What a disk image or a VM holds, a dict a record, as regwalk --list-images --json gives them.");
  m.def("match", &Match, py::arg("pattern"), py::arg("path"), "How a path stands to a pattern, as regwalk --match says.");
  m.def("split", &Split, py::arg("pattern"), "The literal leading part of a pattern and the rest.");
  m.attr("MATCH_EXACT") = MATCH_EXACT;
  m.attr("MATCH_ANCESTOR") = MATCH_ANCESTOR;
  m.attr("MATCH_BELOW") = MATCH_BELOW;
}
