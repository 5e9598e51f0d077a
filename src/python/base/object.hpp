// Python objects that hold a C++ state, and the heap types of such objects.
//
// An object of a native type is the object header followed, at a fixed
// offset, by one C++ value, its State. new_object constructs the State in
// a freshly allocated object; the type's deallocator, made by new_type,
// destroys it exactly once. A State that holds Python objects takes part
// in garbage collection by declaring
//
//   int traverse(visitproc visit, void* arg) const noexcept;  // visits each
//   void clear() noexcept;  // drops them, leaving a state that may be used
//
// and one whose objects must run code before they go (a writer flushing)
// declares `void finalize() noexcept`. new_type gives the type the
// matching slots and flags.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "base/ref.hpp"

namespace molbrook::py {

template <class State>
concept Traversable = requires(const State& state, State& mutable_state, visitproc visit, void* arg) {
  { state.traverse(visit, arg) } noexcept;
  { mutable_state.clear() } noexcept;
};

template <class State>
concept Finalizable = requires(State& state) {
  { state.finalize() } noexcept;
};

// Where the state begins in the object: past the header, aligned.
template <class State>
inline constexpr size_t kStateOffset = (sizeof(PyObject) + alignof(State) - 1) / alignof(State) * alignof(State);

// The bytes of `object` from the state on, constructed or not.
template <class State>
char* state_storage(PyObject* object) noexcept {
  // The object allocator aligns objects for any C type of its platform.
  static_assert(alignof(State) <= alignof(double), "a state must not need more alignment than an object has");
  return static_cast<char*>(static_cast<void*>(object)) + kStateOffset<State>;
}

template <class State>
State* state_of(PyObject* object) noexcept {
  return std::launder(static_cast<State*>(static_cast<void*>(state_storage<State>(object))));
}

// The object of a state, which a caller holding the state as const may
// still hand on as the object it is.
template <class State>
PyObject* object_of(const State* state) noexcept {
  char* bytes = static_cast<char*>(static_cast<void*>(const_cast<State*>(state)));
  return std::launder(static_cast<PyObject*>(static_cast<void*>(bytes - kStateOffset<State>)));
}

// A type object as the object it also is, and back.
inline PyObject* type_object(PyTypeObject* type) noexcept { return &type->ob_base.ob_base; }
inline PyTypeObject* as_type(PyObject* type) noexcept { return reinterpret_cast<PyTypeObject*>(type); }

// A type slot holding a function, which a slot list stores as void*.
template <class Function>
PyType_Slot function_slot(int id, Function* function) noexcept {
  return {id, reinterpret_cast<void*>(function)};
}

// A new instance of `type` (a type made by new_type<State>, or a subclass)
// holding State{args...}; null with MemoryError when it cannot be made.
// The State's construction runs no Python code, so no collection can see
// the object before its state exists.
template <class State, class... Args>
PyObject* new_object(PyTypeObject* type, Args&&... args) noexcept {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  try {
    ::new (state_storage<State>(object)) State{std::forward<Args>(args)...};
  } catch (const std::bad_alloc&) {
    // Freed as the deallocator would, with no state to destroy.
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(object);
    type->tp_free(object);
    Py_DECREF(type);
    return PyErr_NoMemory();
  }
  return object;
}

namespace detail {

template <class State>
void dealloc(PyObject* object) noexcept {
  if constexpr (Finalizable<State>) {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return;  // resurrected
  }
  if constexpr (Traversable<State>) PyObject_GC_UnTrack(object);
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(state_of<State>(object));
  type->tp_free(object);
  Py_DECREF(type);  // instances of heap types own a reference to it
}

template <class State>
int traverse(PyObject* object, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(object));
  return state_of<State>(object)->traverse(visit, arg);
}

template <class State>
int clear(PyObject* object) noexcept {
  state_of<State>(object)->clear();
  return 0;
}

template <class State>
void finalize(PyObject* object) noexcept {
  state_of<State>(object)->finalize();
}

}  // namespace detail

// Creates the type `name` of objects holding a State, with `slots` (each
// made by slot<f> of entry.hpp) and `flags` beyond the default, immutable
// type, for `module` alone (module_state.hpp finds the module from it);
// null with an exception set on failure.
template <class State, class... Slots>
PyTypeObject* new_type(PyObject* module, const char* name, unsigned long flags, Slots... slots) noexcept {
  PyType_Slot all[sizeof...(Slots) + 5] = {slots...};
  size_t count = sizeof...(Slots);
  all[count++] = function_slot(Py_tp_dealloc, detail::dealloc<State>);
  if constexpr (Traversable<State>) {
    all[count++] = function_slot(Py_tp_traverse, detail::traverse<State>);
    all[count++] = function_slot(Py_tp_clear, detail::clear<State>);
  }
  if constexpr (Finalizable<State>) all[count++] = function_slot(Py_tp_finalize, detail::finalize<State>);
  all[count] = {0, nullptr};
  PyType_Spec spec = {
      .name = name,
      .basicsize = static_cast<int>(kStateOffset<State> + sizeof(State)),
      .itemsize = 0,
      .flags = static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                         (Traversable<State> ? Py_TPFLAGS_HAVE_GC : 0) | flags),
      .slots = all,
  };
  return as_type(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace molbrook::py
