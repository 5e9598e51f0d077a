#include "base/args.hpp"
#include "base/sizes.hpp"

#include <cstdarg>
#include <cstring>
#include <string_view>

namespace molbrook::py {

namespace {

// Whether `name` (a str) is one of the keyword names of `keywords`.
bool known_keyword(PyObject* name, const char* const* keywords) noexcept {
  for (; *keywords != nullptr; ++keywords) {
    if (**keywords != '\0' && PyUnicode_CompareWithASCIIString(name, *keywords) == 0) return true;
  }
  return false;
}

// TypeError for a keyword that matches none of `keywords`, worded as the
// interpreter's own; the function's name follows the ':' of `format`.
bool check_keyword(PyObject* name, const char* format, const char* const* keywords) noexcept {
  if (!PyUnicode_Check(name) || known_keyword(name, keywords)) return true;
  const char* function = std::strchr(format, ':');
  PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", name,
               function != nullptr ? function + 1 : "this function");
  return false;
}

}  // namespace

bool parse_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
                     ...) noexcept {
  PyObject* name;
  Py_ssize_t at = 0;
  while (kwargs != nullptr && PyDict_Next(kwargs, &at, &name, nullptr)) {
    if (!check_keyword(name, format, keywords)) return false;
  }
  va_list outputs;
  va_start(outputs, keywords);
  int bound = PyArg_VaParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), outputs);
  va_end(outputs);
  return bound != 0;
}

bool parse_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                    const char* const* keywords, ...) noexcept {
  // The tuple and dict only lend the call's own objects, which outlive
  // them, so the bound pointers stay valid after they are freed.
  Ref positional = Ref::steal(PyTuple_New(nargs));
  if (!positional) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
  Ref named;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    named = Ref::steal(PyDict_New());
    if (!named) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (!check_keyword(PyTuple_GET_ITEM(kwnames, i), format, keywords)) return false;
      if (PyDict_SetItem(named.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return false;
    }
  }
  va_list outputs;
  va_start(outputs, keywords);
  int bound = PyArg_VaParseTupleAndKeywords(positional.get(), named.get(), format,
                                            const_cast<char**>(keywords), outputs);
  va_end(outputs);
  return bound != 0;
}

namespace {

// NumPy's scalar bool, recognised by name so that NumPy need not be
// imported: "numpy.bool" since NumPy 2, "numpy.bool_" before.
bool is_numpy_bool(PyObject* value) noexcept {
  std::string_view name = Py_TYPE(value)->tp_name;
  return name == "numpy.bool" || name == "numpy.bool_";
}

}  // namespace

bool bool_argument(PyObject* value, const char* function, const char* argument, bool& result) noexcept {
  if (PyBool_Check(value) || is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    result = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %.200s", function, argument,
               Py_TYPE(value)->tp_name);
  return false;
}

bool utf8_argument(PyObject* value, const char* expected, std::string& result) {
  Py_ssize_t size;
  const char* utf8 = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
  if (utf8 == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, expected);
    return false;
  }
  result.assign(utf8, to_size(size));
  return true;
}

}  // namespace molbrook::py
