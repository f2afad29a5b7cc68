// Process entry: the embedded interpreter runs the driver as its main module, and the outcome
// becomes the exit status.
#include <Python.h>

PyMODINIT_FUNC init__main__(void);  // NOLINT(bugprone-reserved-identifier): the name the interpreter expects

int main(int argc, char** argv) {
    Py_Initialize();
    PySys_SetArgv(argc, argv);
    init__main__();
    if (PyErr_Occurred()) {
        PyErr_Print();
        Py_Exit(1);
    }
    Py_Exit(0);
}
