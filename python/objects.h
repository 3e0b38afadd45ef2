// What the Python package hands out, over one registry of several: the
// registry as Python holds it, the lock every store call is made under,
// keys and values. Each store call is made with the GIL released and the
// registry served, under one lock (store::Installation).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/api.h"
#include "store/lead_bytes.h"
#include "store/store.h"
#include "text/text.h"
#include "text/unicode.h"
#include "tools/keys.h"
#include "tools/registry_cli.h"
#include "tools/registry_text.h"
#include "winreg/winreg.h"

namespace kormald_python {

namespace py = pybind11;

// The exceptions of the package, made as it is imported.
inline PyObject* g_error = nullptr;
inline PyObject* g_notFound = nullptr;
inline PyObject* g_notRegistry = nullptr;
inline PyObject* g_noSnapshot = nullptr;

// Every call into the store and every Serve, from whichever thread.
inline std::mutex g_store;

// The tools' messages say what is wrong after the source's name; the
// exception's class says it to a program.
// The exception a source's message calls for: the tools' messages say what
// is wrong after the source's name, the class says it to a program.
inline PyObject* SourceErrorClass(const std::string& message) {
  if (message.find(": No such file or directory") != std::string::npos) return g_notFound;
  if (message.find(": not a registry file") != std::string::npos) return g_notRegistry;
  if (message.find(": no snapshot ") != std::string::npos) return g_noSnapshot;
  return g_error;
}

[[noreturn]] inline void RaiseSourceError(const std::string& message) {
  PyErr_SetString(SourceErrorClass(message), message.c_str());
  throw py::error_already_set();
}

// A registry as Python holds it.
class Loaded {
 public:
  Loaded(std::unique_ptr<store::Registry> registry, int codepage)
      : installation_(std::make_unique<store::Installation>(std::move(registry))), text(codepage), codepage_(codepage) {
    if (codepage != 0) fromUtf8_ = text::TextConverter::Open("UTF-8", text::CodepageCharset(codepage));
  }

  // The last holder may let go on any thread, while another serves a
  // registry of its own: the registry goes under the store's lock.
  ~Loaded() {
    std::lock_guard<std::mutex> lock(g_store);
    installation_.reset();
  }
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;

  store::Installation& installation() { return *installation_; }
  const store::Registry& registry() const { return installation_->registry(); }

 private:
  std::unique_ptr<store::Installation> installation_;

 public:
  tools::RegistryText text;

  int codepage() const { return codepage_; }

  // Text typed in Python as the registry's codepage writes it; false for a
  // character the codepage cannot hold (which names no key). Bytes pass as
  // they are, and with no codepage text is taken as UTF-8.
  bool Stored(py::handle typed, std::string* stored) const {
    if (py::isinstance<py::bytes>(typed)) {
      *stored = typed.cast<std::string>();
      return true;
    }
    std::string utf8 = typed.cast<std::string>();
    if (!fromUtf8_ || text::IsAscii(utf8)) {
      *stored = std::move(utf8);
      return true;
    }
    return fromUtf8_->ConvertExactly(utf8, stored);
  }

  // Registry text as Python shows it: exact where the codepage converts it
  // exactly, readable otherwise (the bytes stay at hand beside it).
  std::string Readable(std::string_view bytes) const {
    bool exact = false;
    return text.Readable(bytes, &exact);
  }
  py::str Decode(std::string_view bytes) const { return py::str(Readable(bytes)); }

 private:
  int codepage_;
  std::unique_ptr<text::TextConverter> fromUtf8_;
};

// Holds the store for one registry, the GIL released meanwhile.
class Serving {
 public:
  explicit Serving(Loaded& loaded) : lock_(g_store) { store::Serve(&loaded.installation()); }

 private:
  py::gil_scoped_release released_;
  std::unique_lock<std::mutex> lock_;
};

using Shared = std::shared_ptr<Loaded>;

// A value, as its source stores it.
// A key's values, shared by the key and every value handed out of it: a
// walk of a million keys copies no value's bytes before Python asks.
struct KeyValues {
  Shared loaded;
  std::vector<tools::KeptValue> values;
};
using SharedValues = std::shared_ptr<const KeyValues>;

class PyValue {
 public:
  PyValue(SharedValues of, std::size_t index) : of_(std::move(of)), value_(of_->values[index]), loaded_(of_->loaded) {}

  py::str name() const { return loaded_->Decode(value_.name); }
  py::bytes nameBytes() const { return py::bytes(value_.name); }
  std::uint32_t type() const { return value_.type; }
  py::object typeName() const {
    const char* name = tools::TypeName(value_.type);
    return name != nullptr ? py::object(py::str(name)) : py::object(py::none());
  }
  py::bytes data() const { return py::bytes(value_.data); }
  py::object terminated() const {
    if (value_.type != REG_SZ && value_.type != REG_EXPAND_SZ) return py::none();
    return py::bool_(!value_.data.empty() && value_.data.back() == '\0');
  }
  py::object value() const {
    tools::ValueData read = tools::ReadValueData(loaded_->text, value_.type, value_.data);
    switch (read.form) {
      case tools::ValueData::Form::kNumber:
        return py::int_(read.number);
      case tools::ValueData::Form::kText:
        return py::str(read.text);
      case tools::ValueData::Form::kList: {
        py::list list;
        for (const std::string& s : read.list) list.append(py::str(s));
        return list;
      }
      case tools::ValueData::Form::kBytes:
        break;
    }
    return py::bytes(value_.data);
  }
  std::string repr() const {
    return "<kormald.Value " + py::repr(name()).cast<std::string>() + " " +
           py::repr(typeName()).cast<std::string>() + ">";
  }

 private:
  SharedValues of_;
  const tools::KeptValue& value_;
  const Shared& loaded_;
};

[[noreturn]] inline void RaiseRegistryError(const std::string& path, LONG code) {
  if (code == ERROR_FILE_NOT_FOUND) throw py::key_error(path);
  std::string message = path + (code == ERROR_BADDB ? ": the key could not be read"
                                                    : ": the key cannot be opened: " + tools::DescribeResult(code));
  PyErr_SetString(g_error, message.c_str());
  throw py::error_already_set();
}

// A key, known by its full path.
class PyKey {
 public:
  PyKey(Shared loaded, std::string path, std::optional<std::vector<tools::KeptValue>> values = std::nullopt)
      : loaded_(std::move(loaded)), path_(std::move(path)) {
    if (values) values_ = std::make_shared<const KeyValues>(KeyValues{loaded_, std::move(*values)});
  }

  py::str path() const { return loaded_->Decode(path_); }
  py::bytes pathBytes() const { return py::bytes(path_); }
  py::str name() const { return loaded_->Decode(NameBytes()); }
  py::bytes nameBytes() const { return py::bytes(std::string(NameBytes())); }

  std::vector<PyKey> subkeys() const {
    std::vector<std::string> names;
    Read([&](HKEY key) {
      DWORD count = 0;
      DWORD longest = 0;
      LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
      std::string name(std::size_t{longest} + 1, '\0');
      for (DWORD i = 0; rc == ERROR_SUCCESS && i < count; ++i) {
        DWORD length = longest + 1;
        rc = RegEnumKeyExA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_SUCCESS) names.emplace_back(name.data(), length);
      }
      return rc;
    });
    std::vector<PyKey> keys;
    keys.reserve(names.size());
    for (const std::string& n : names) keys.emplace_back(loaded_, path_ + "\\" + n);
    return keys;
  }

  py::list values() const {
    py::list list;
    const SharedValues& of = Values();
    for (std::size_t i = 0; i < of->values.size(); ++i) list.append(PyValue(of, i));
    return list;
  }

  PyValue value(py::handle name) const {
    std::string stored;
    if (loaded_->Stored(name, &stored)) {
      const SharedValues& of = Values();
      for (std::size_t i = 0; i < of->values.size(); ++i) {
        if (store::SameName(of->values[i].name, stored)) return PyValue(of, i);
      }
    }
    throw py::key_error(py::str(name).cast<std::string>());
  }

  std::string repr() const { return "<kormald.Key " + py::repr(path()).cast<std::string>() + ">"; }

 private:
  std::string_view NameBytes() const {
    const store::LeadBytes& lead = loaded_->registry().leadBytes();
    std::size_t cut = std::string_view::npos;
    for (std::size_t at = store::FindSeparator(path_, lead); at != std::string_view::npos;
         at = store::FindSeparator(path_, lead, at + 1)) {
      cut = at;
    }
    return cut == std::string_view::npos ? std::string_view(path_) : std::string_view(path_).substr(cut + 1);
  }

  // Opens the key, its registry served, and hands it to read; raises on a
  // registry error of either.
  template <typename Reader>
  void Read(Reader&& read) const {
    LONG rc = ERROR_SUCCESS;
    {
      Serving serving(*loaded_);
      HKEY key = nullptr;
      rc = tools::OpenPath(path_, &key);
      if (rc == ERROR_SUCCESS) {
        rc = read(key);
        tools::CloseOpened(key);
      }
    }
    if (rc != ERROR_SUCCESS) RaiseRegistryError(loaded_->Readable(path_), rc);
  }

  const SharedValues& Values() const {
    if (values_) return values_;
    std::vector<tools::KeptValue> read;
    Read([&](HKEY key) { return static_cast<LONG>(tools::ReadStoredValues(key, &read)); });
    values_ = std::make_shared<const KeyValues>(KeyValues{loaded_, std::move(read)});
    return values_;
  }

  Shared loaded_;
  std::string path_;
  mutable SharedValues values_;
};

}  // namespace kormald_python
