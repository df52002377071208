// The CPython extension module `corvane`.
//
// Arguments are bound by hand rather than with PyArg_* helpers because the
// error messages are part of the module's contract and callers match them.
// The interpreter lock is held for the whole call; the engine keeps no state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/corvane.h>

namespace {

// ---------------------------------------------------------------------------
// Owned references

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) noexcept : o_(o) {}
  ~Ref() { Py_XDECREF(o_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : o_(other.o_) { other.o_ = nullptr; }
  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// ---------------------------------------------------------------------------
// Argument binding

constexpr std::size_t kMaxParameters = 2;
using Bound = std::array<PyObject*, kMaxParameters>;

struct Signature {
  const char* function;                               // e.g. "classify"
  std::array<const char*, kMaxParameters> parameters;  // in positional order
  std::size_t count;                                   // parameters in use
  std::size_t required;                                // the first `required` are required
};

constexpr Signature kClassify{"classify", {"command", "context"}, 2, 1};
constexpr Signature kRiskScore{"risk_score", {"command", nullptr}, 1, 1};
constexpr Signature kRiskLevel{"risk_level", {"command", nullptr}, 1, 1};
constexpr Signature kClassifyBatch{"classify_batch", {"commands", "context"}, 2, 1};

// Binds positional and keyword arguments to the signature's parameters.
// Returns false with a TypeError set on any binding error.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& bound) {
  const std::size_t total = sig.count;
  const std::string name = std::string(sig.function) + "()";
  bound.fill(nullptr);

  const auto given = static_cast<std::size_t>(nargs);
  if (given > total) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required < total)
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                   name.c_str(), sig.required, total, given, verb);
    else
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                   name.c_str(), total, given, verb);
    return false;
  }
  for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = total;
    for (std::size_t i = 0; i < total; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.parameters[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == total) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", name.c_str(), key);
      return false;
    }
    if (bound[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", name.c_str(),
                   sig.parameters[slot]);
      return false;
    }
    bound[slot] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (bound[i] == nullptr) missing.push_back(sig.parameters[i]);
  if (!missing.empty()) {
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i != 0) names += i + 1 == missing.size() ? (missing.size() > 2 ? ", and " : " and ") : ", ";
      names += "'";
      names += missing[i];
      names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", name.c_str(),
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Argument conversion errors

// Re-raises the pending error of converting argument `param`: a TypeError is
// replaced by a TypeError prefixed with the argument's name, whose cause is
// the original; any other error stays as it is.
void argument_error(const char* param) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* original = PyErr_GetRaisedException();
  if (Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original);
    return;
  }
  Ref text(PyObject_Str(original));
  if (!text) {
    Py_DECREF(original);
    return;
  }
  Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) {
    Py_DECREF(original);
    return;
  }
  Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) {
    Py_DECREF(original);
    return;
  }
  PyException_SetCause(replacement.get(), original);  // steals `original`
  PyErr_SetRaisedException(replacement.release());
}

// Sets "'<type>' object cannot be converted to '<target>'" as a TypeError.
void cannot_convert(PyObject* value, const char* target) {
  Ref type_name(PyType_GetName(Py_TYPE(value)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

// A str as UTF-8. Sets an error and returns nothing for a non-str (TypeError)
// or a str that cannot be encoded (UnicodeEncodeError).
std::optional<std::string> to_utf8(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    cannot_convert(value, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

// A str field of the context: absent, silently, for anything else.
std::optional<std::string> optional_text(PyObject* value) {
  if (value == nullptr || !PyUnicode_Check(value)) return std::nullopt;
  std::optional<std::string> s = to_utf8(value);
  if (!s) PyErr_Clear();
  return s;
}

// A sequence of str; the empty list, silently, for anything else.
std::vector<std::string> text_list(PyObject* value) {
  if (value == nullptr || PyUnicode_Check(value) || !PySequence_Check(value)) return {};
  std::vector<std::string> out;
  Ref iter(PyObject_GetIter(value));
  if (!iter) {
    PyErr_Clear();
    return {};
  }
  while (Ref item{PyIter_Next(iter.get())}) {
    std::optional<std::string> s = optional_text(item.get());
    if (!s) return {};
    out.push_back(std::move(*s));
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return {};
  }
  return out;
}

// Looks `key` up in the dict; false with the error set when the lookup fails.
bool lookup(PyObject* dict, const char* key, PyObject*& out) {
  Ref k(PyUnicode_FromString(key));
  if (!k) return false;
  out = PyDict_GetItemWithError(dict, k.get());  // borrowed
  return out != nullptr || !PyErr_Occurred();
}

// Converts the `context` argument. Returns false with an error set when it is
// neither None nor a dict, or when a key lookup raises.
bool to_context(PyObject* value, std::optional<corvane::ClassifyContext>& out) {
  out.reset();
  if (value == nullptr || value == Py_None) return true;
  if (!PyDict_Check(value)) {
    cannot_convert(value, "PyDict");
    argument_error("context");
    return false;
  }
  corvane::ClassifyContext ctx;
  PyObject* v = nullptr;
  if (!lookup(value, "cwd", v)) return false;
  ctx.cwd = optional_text(v);
  if (!lookup(value, "project_root", v)) return false;
  ctx.project_root = optional_text(v);
  if (!lookup(value, "home_dir", v)) return false;
  ctx.home_dir = optional_text(v);
  if (!lookup(value, "protected_paths", v)) return false;
  ctx.protected_paths = text_list(v);
  if (!lookup(value, "shell", v)) return false;
  if (v != nullptr && PyUnicode_Check(v) && PyUnicode_CompareWithASCIIString(v, "zsh") == 0)
    ctx.shell = corvane::ShellKind::Zsh;
  out = std::move(ctx);
  return true;
}

std::optional<std::string> to_command(PyObject* value, const char* param) {
  std::optional<std::string> s = to_utf8(value);
  if (!s) argument_error(param);
  return s;
}

// The `commands` argument: a sequence (not a str) of str.
std::optional<std::vector<std::string>> to_commands(PyObject* value) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    argument_error("commands");
    return std::nullopt;
  }
  if (!PySequence_Check(value)) {
    cannot_convert(value, "Sequence");
    argument_error("commands");
    return std::nullopt;
  }
  std::vector<std::string> out;
  // The length is only a capacity hint, and an untrusted one: a sequence may
  // claim any length, so at most a modest amount is reserved up front.
  constexpr Py_ssize_t kMaxReserve = 1 << 16;
  const Py_ssize_t hint = PySequence_Size(value);
  if (hint < 0) PyErr_Clear();
  else out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));

  Ref iter(PyObject_GetIter(value));
  if (!iter) {
    argument_error("commands");
    return std::nullopt;
  }
  while (Ref item{PyIter_Next(iter.get())}) {
    std::optional<std::string> s = to_utf8(item.get());
    if (!s) {
      argument_error("commands");
      return std::nullopt;
    }
    out.push_back(std::move(*s));
  }
  if (PyErr_Occurred()) {
    argument_error("commands");
    return std::nullopt;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Results

// Raises the engine's fault as a Python exception.
PyObject* raise_fault(const corvane::Fault& fault) {
  if (fault.kind == corvane::Fault::Kind::OutOfMemory) return PyErr_NoMemory();
  PyErr_SetString(PyExc_RuntimeError, fault.message.c_str());
  return nullptr;
}

// The module "json", imported as an `import json` statement would: through
// builtins.__import__ when a program has replaced it, otherwise straight
// through the import system (the interpreter's own fast path for the
// statement), which finds the cached module without a Python-level call.
PyObject* import_json() {
  Ref name(PyUnicode_InternFromString("json"));
  if (!name) return nullptr;
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* hook = builtins != nullptr ? PyDict_GetItemString(builtins, "__import__") : nullptr;
  const bool original = hook != nullptr && PyCFunction_Check(hook) &&
                        PyCFunction_GET_SELF(hook) != nullptr && PyModule_Check(PyCFunction_GET_SELF(hook)) &&
                        std::string_view(reinterpret_cast<PyCFunctionObject*>(hook)->m_ml->ml_name) == "__import__";
  if (!original) return PyImport_Import(name.get());
  return PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0);
}

// The JSON text read back with the interpreter's own json.loads.
PyObject* json_loads(const std::string& json) {
  Ref module(import_json());
  if (!module) return nullptr;
  Ref loads(PyObject_GetAttrString(module.get(), "loads"));
  if (!loads) return nullptr;
  Ref text(PyUnicode_DecodeUTF8(json.data(), static_cast<Py_ssize_t>(json.size()), "replace"));
  if (!text) return nullptr;
  return PyObject_CallOneArg(loads.get(), text.get());
}

// Runs a body that may allocate in C++; allocation failure becomes MemoryError
// and nothing else escapes into the interpreter.
template <typename F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "corvane: internal error");
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Module functions

PyObject* py_classify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind(kClassify, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::string> command = to_command(a[0], "command");
    if (!command) return nullptr;
    std::optional<corvane::ClassifyContext> ctx;
    if (!to_context(a[1], ctx)) return nullptr;
    auto result = corvane::classify(*command, ctx ? &*ctx : nullptr);
    if (!result) return raise_fault(result.fault());
    return json_loads(corvane::to_json(result.value()));
  });
}

PyObject* py_risk_score(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind(kRiskScore, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::string> command = to_command(a[0], "command");
    if (!command) return nullptr;
    auto score = corvane::risk_score(*command);
    if (!score) return raise_fault(score.fault());
    return PyLong_FromLong(score.value());
  });
}

PyObject* py_risk_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind(kRiskLevel, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::string> command = to_command(a[0], "command");
    if (!command) return nullptr;
    auto level = corvane::risk_level(*command);
    if (!level) return raise_fault(level.fault());
    const std::string_view s = corvane::to_string(level.value());
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

PyObject* py_classify_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind(kClassifyBatch, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::vector<std::string>> commands = to_commands(a[0]);
    if (!commands) return nullptr;
    std::optional<corvane::ClassifyContext> ctx;
    if (!to_context(a[1], ctx)) return nullptr;
    auto results = corvane::classify_batch(*commands, ctx ? &*ctx : nullptr);
    if (!results) return raise_fault(results.fault());
    return json_loads(corvane::to_json(results.value()));
  });
}

PyDoc_STRVAR(classify_doc,
             "classify(command, context=None)\n--\n\n"
             "Classify a shell command and return a rich analysis dict.\n\n"
             "Args:\n"
             "    command: The shell command string to analyze.\n"
             "    context: Optional dict with keys: cwd, project_root, home_dir, protected_paths, shell.\n\n"
             "Returns:\n"
             "    A dict containing score, level, risk_factors, pipeline_flow, etc.");
PyDoc_STRVAR(risk_score_doc,
             "risk_score(command)\n--\n\n"
             "Return just the numeric risk score (0-100) for a command.");
PyDoc_STRVAR(risk_level_doc,
             "risk_level(command)\n--\n\n"
             "Return the risk level as a string: \"safe\", \"caution\", \"danger\", or \"critical\".");
PyDoc_STRVAR(classify_batch_doc,
             "classify_batch(commands, context=None)\n--\n\n"
             "Classify multiple commands in batch.\n\n"
             "Args:\n"
             "    commands: A list of shell command strings.\n"
             "    context: Optional dict with context (same as classify).\n\n"
             "Returns:\n"
             "    A list of analysis dicts.");

PyMethodDef kMethods[] = {
    {"classify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_classify)),
     METH_FASTCALL | METH_KEYWORDS, classify_doc},
    {"risk_score", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_risk_score)),
     METH_FASTCALL | METH_KEYWORDS, risk_score_doc},
    {"risk_level", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_risk_level)),
     METH_FASTCALL | METH_KEYWORDS, risk_level_doc},
    {"classify_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_classify_batch)),
     METH_FASTCALL | METH_KEYWORDS, classify_batch_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "corvane",
    "corvane: how dangerous a shell command line is, judged without running it.\n\n"
    "classify(command, context=None) returns the verdict as a dict: score 0-100, level,\n"
    "quick decision (safe, risky, blocked), reason, risk factors, a breakdown per simple\n"
    "command, pipeline flows and ATT&CK techniques. classify_batch does the same for a\n"
    "list; risk_score and risk_level return one field. The context (cwd, project_root,\n"
    "home_dir, protected_paths, shell) says where the command would run.",
    -1,  // no per-module state
    kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_corvane(void) {
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  const std::string_view version = corvane::version();
  PyObject* text = PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size()));
  if (text == nullptr || PyModule_AddObject(module, "__version__", text) < 0) {
    Py_XDECREF(text);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
