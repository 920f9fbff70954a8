// SPDX-License-Identifier: MIT
#include "names.hpp"

namespace nj_py {
namespace {

InternedNames interned{};

}  // namespace

bool intern_names() noexcept {
  // Module initialisation runs under the import lock and the interpreter
  // lock, so a second initialisation can only find the names complete.
  if (interned.model_dump != nullptr) return true;
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&interned.dunder_all, "__all__"},       {&interned.dunder_dict, "__dict__"},
      {&interned.dunder_name, "__name__"},     {&interned.dunder_slots, "__slots__"},
      {&interned.dataclasses, "dataclasses"},  {&interned.is_dataclass, "is_dataclass"},
      {&interned.asdict, "asdict"},            {&interned.pydantic, "pydantic"},
      {&interned.base_model, "BaseModel"},     {&interned.model_dump, "model_dump"},
  };
  for (const Entry& entry : entries) {
    if (*entry.slot != nullptr) continue;
    *entry.slot = PyUnicode_InternFromString(entry.text);
    if (*entry.slot == nullptr) return false;
  }
  return true;
}

const InternedNames& names() noexcept { return interned; }

}  // namespace nj_py
