// The few C API calls whose spelling differs between the supported
// interpreter versions (3.11 and newer).
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// Holds a critical section on an object for its scope: what the object's
// mutex guards, other threads use after it ends or while this thread
// waits or runs without the interpreter (its sections suspended then, as
// the interpreter lock would have been released). Only a free-threaded
// build has them (3.13 on); with an interpreter lock it alone serializes.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection section_;
#endif
};

#if PY_VERSION_HEX >= 0x030C0000
// The thread state attached to the calling thread, or null (from 3.12,
// where each thread has its own).
inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}
#endif

// Takes the raised exception out of the error indicator (null if none).
inline Ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

// Raises `exception` again.
inline void restore_exception(Ref exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(PyObject_Type(value), value,
                PyException_GetTraceback(value));
#endif
}

// Looks up an attribute that may be missing: 1 and the value when found,
// 0 when the lookup raised AttributeError (cleared), -1 on another error.
inline int lookup_optional_attr(PyObject* object, PyObject* name, Ref& value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* result;
  int found = PyObject_GetOptionalAttr(object, name, &result);
  value = Ref::steal(result);
  return found;
#else
  value = Ref::steal(PyObject_GetAttr(object, name));
  if (value) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
#endif
}

// lookup_optional_attr by a name given as C text. The name object is made
// per call: one kept for the process would be shared by every interpreter.
inline int lookup_optional_attr(PyObject* object, const char* name, Ref& value) noexcept {
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text ? lookup_optional_attr(object, text.get(), value) : -1;
}

}  // namespace molbrook::py
