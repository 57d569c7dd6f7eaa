// norvane._native: entries that go beside the published module, never into
// its namespace. It is the same shared object as norvane.norvane, loaded under
// a second name (see src/norvane/_native.py), so it shares the module's state:
// it must be loaded after norvane.norvane.
#include "norvane.hpp"

namespace norvane {
namespace {

PyMethodDef native_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "norvane._native_ext",
    "Private entries of norvane; not a public interface.",
    0,
    native_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace norvane

PyMODINIT_FUNC PyInit__native_ext() { return PyModule_Create(&norvane::native_def); }
