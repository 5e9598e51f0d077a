// The boundary between the interpreter and C++.
//
// Every function the interpreter calls (slots, methods, properties,
// module functions) is written with the types it works with and
// registered through the adapters below, which give it the C signature
// the interpreter calls:
//
//   PyObject* block_repr(PySDBlock* self);
//   PyObject* block_get(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
//
//   slot<block_repr>(Py_tp_repr)
//   method<block_get>("get", doc)        // METH_FASTCALL | METH_KEYWORDS, from the signature
//
// A `self` typed as a pointer to a native type's state (object.hpp) gets
// that state; one typed PyObject* or PyTypeObject* gets the object. Calls
// on one object never overlap, as under an interpreter lock: without one
// they hold a critical section on the object.
#pragma once

#include <new>
#include <type_traits>

#include "base/compat.hpp"
#include "base/module_state.hpp"
#include "base/object.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

template <auto Function, class Signature = decltype(Function)>
struct Entry;

// An allocation failure anywhere below an entry, in the core or in the
// standard library, becomes MemoryError instead of crossing the C API
// boundary as a C++ exception; nothing else is thrown below an entry, and
// anything that is all the same becomes SystemError.
template <auto Function, class Result, class... Args>
struct Entry<Function, Result (*)(Args...)> {
  static Result call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      PyErr_SetString(PyExc_SystemError, "internal error: a C++ exception reached the C API");
    }
    if constexpr (std::is_pointer_v<Result>) {
      return nullptr;
    } else {
      return Result(-1);
    }
  }
};

// A function that cannot throw needs no guard.
template <auto Function, class Result, class... Args>
struct Entry<Function, Result (*)(Args...) noexcept> {
  static Result call(Args... args) noexcept { return Function(args...); }
};

// A function already in the C signature the interpreter calls, guarded.
template <auto Function>
inline constexpr auto entry = &Entry<Function>::call;

namespace detail {

// The interpreter's `self` as the function takes it.
template <class Self>
struct SelfParameter {
  using CType = PyObject*;
  using State = std::remove_cv_t<std::remove_pointer_t<Self>>;
  static Self from(PyObject* object) noexcept { return state_of<State>(object); }
};
template <>
struct SelfParameter<PyObject*> {
  using CType = PyObject*;
  static PyObject* from(PyObject* object) noexcept { return object; }
};
template <>
struct SelfParameter<PyTypeObject*> {
  using CType = PyTypeObject*;
  static PyTypeObject* from(PyTypeObject* type) noexcept { return type; }
};

// Function pointer types without noexcept, which Entry alone tells apart.
template <class Function>
struct Plain {
  using type = Function;
};
template <class Result, class... Args>
struct Plain<Result (*)(Args...) noexcept> {
  using type = Result (*)(Args...);
};
template <auto Function>
using PlainType = typename Plain<decltype(Function)>::type;

// The calling convention that passes `Args` after self.
template <class... Args>
constexpr int calling_convention() noexcept {
  if constexpr (sizeof...(Args) == 0) {
    return METH_NOARGS;
  } else if constexpr (std::is_same_v<void(Args...), void(PyObject*)>) {
    return METH_O;
  } else if constexpr (std::is_same_v<void(Args...), void(PyObject* const*, Py_ssize_t)>) {
    return METH_FASTCALL;
  } else {
    static_assert(std::is_same_v<void(Args...), void(PyObject* const*, Py_ssize_t, PyObject*)>,
                  "a method takes nothing, one object, or vectorcall arguments with or without keywords");
    return METH_FASTCALL | METH_KEYWORDS;
  }
}

// The method table entry of an adapter: PyCFunction is the type the table
// stores for every convention, the interpreter calling it by its flags.
template <class Adapter, class... Args>
PyMethodDef method_def(const char* name, const char* doc, int flags) noexcept {
  constexpr int convention = calling_convention<Args...>();
  PyCFunction function;
  if constexpr (convention == METH_NOARGS) {
    function = Adapter::call_without_argument;
  } else if constexpr (convention == METH_O) {
    function = Adapter::call;
  } else {
    function = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Adapter::call));
  }
  return {name, function, convention | flags, doc};
}

// A function whose first parameter is `self`, with the C signatures that
// take the object in its place.
template <auto Function, class Signature = PlainType<Function>>
struct Bound;
template <auto Function, class Result, class Self, class... Args>
struct Bound<Function, Result (*)(Self, Args...)> {
  using CSelf = typename SelfParameter<Self>::CType;
  // An object's calls run one at a time (in a critical section on it,
  // which the interpreter lock makes needless where there is one); the
  // class of a class method is not locked.
  static Result call(CSelf self, Args... args) noexcept {
    if constexpr (std::is_same_v<CSelf, PyTypeObject*>) {
      return Entry<Function>::call(SelfParameter<Self>::from(self), args...);
    } else {
#ifdef Py_GIL_DISABLED
      if (PyType_Check(self)) return Entry<Function>::call(SelfParameter<Self>::from(self), args...);
#endif
      CriticalSection section(self);
      return Entry<Function>::call(SelfParameter<Self>::from(self), args...);
    }
  }

  // As a METH_NOARGS method, which the interpreter passes a null argument.
  static Result call_without_argument(CSelf self, PyObject*) noexcept { return call(self); }
  // As a getter or setter, which the interpreter passes a closure.
  static Result call_with_closure(CSelf self, Args... args, void*) noexcept { return call(self, args...); }

  static PyMethodDef def(const char* name, const char* doc, int flags) noexcept {
    return method_def<Bound, Args...>(name, doc, flags);
  }
};

// A module function or static method: no `self`, which the interpreter
// passes as the module or null.
template <auto Function, class Signature = PlainType<Function>>
struct Unbound;
template <auto Function, class Result, class... Args>
struct Unbound<Function, Result (*)(Args...)> {
  static Result call(PyObject*, Args... args) noexcept { return Entry<Function>::call(args...); }
  static Result call_without_argument(PyObject*, PyObject*) noexcept { return Entry<Function>::call(); }

  static PyMethodDef def(const char* name, const char* doc, int flags) noexcept {
    return method_def<Unbound, Args...>(name, doc, flags);
  }
};

// A module function that takes the state of its module first.
template <auto Function, class Result, class... Args>
struct Unbound<Function, Result (*)(const ModuleState&, Args...)> {
  static Result call(PyObject* module, Args... args) noexcept {
    return Entry<Function>::call(module_state(module), args...);
  }
  static Result call_without_argument(PyObject* module, PyObject*) noexcept {
    return Entry<Function>::call(module_state(module));
  }

  static PyMethodDef def(const char* name, const char* doc, int flags) noexcept {
    return method_def<Unbound, Args...>(name, doc, flags);
  }
};

}  // namespace detail

// A method: `Function` takes self, then nothing (METH_NOARGS), one object
// (METH_O) or vectorcall arguments (METH_FASTCALL, with METH_KEYWORDS when
// it takes their names). `flags` adds METH_CLASS, whose self is the class.
template <auto Function>
PyMethodDef method(const char* name, const char* doc, int flags = 0) noexcept {
  return detail::Bound<Function>::def(name, doc, flags);
}

// A module function, or with METH_STATIC a static method: `Function` takes
// the arguments alone, by the conventions of method(), after the module's
// state (module_state.hpp) if its first parameter is `const ModuleState&`
// (a module function only).
template <auto Function>
PyMethodDef function(const char* name, const char* doc, int flags = 0) noexcept {
  return detail::Unbound<Function>::def(name, doc, flags);
}

// A property: `Get` takes self; `Set`, if given, takes self and the value,
// null when the property is deleted.
template <auto Get>
PyGetSetDef property(const char* name, const char* doc) noexcept {
  return {name, detail::Bound<Get>::call_with_closure, nullptr, doc, nullptr};
}
template <auto Get, auto Set>
PyGetSetDef property(const char* name, const char* doc) noexcept {
  return {name, detail::Bound<Get>::call_with_closure, detail::Bound<Set>::call_with_closure, doc, nullptr};
}

// A type slot `id` filled by `Function`, whose C signature is its own with
// self as the object.
template <auto Function>
PyType_Slot slot(int id) noexcept {
  return function_slot(id, detail::Bound<Function>::call);
}

// Makes a type unhashable, its __hash__ None: the interpreter tells this
// slot by its function, which must therefore not be adapted.
inline PyType_Slot unhashable_slot() noexcept {
  return function_slot(Py_tp_hash, PyObject_HashNotImplemented);
}

}  // namespace molbrook::py
