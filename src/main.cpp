// Process entry: the embedded interpreter runs the driver as its main module, and the outcome
// becomes the exit status.
#include <Python.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

PyMODINIT_FUNC init__main__(void);  // NOLINT(bugprone-reserved-identifier): the name the interpreter expects

namespace {

// A standard descriptor the program was started without would be taken by the next file or
// socket the run opens, and the log or the error report would be written into that. Each is
// held instead on /dev/null opened for reading only: reads see the end, and writes fail with
// EBADF, as they would on the closed descriptor.
void hold_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int held = open("/dev/null", O_RDONLY);  // the lowest free descriptor: this one
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    hold_closed_standard_descriptors();
    Py_Initialize();
    PySys_SetArgv(argc, argv);
    init__main__();
    if (PyErr_Occurred()) {
        PyErr_Print();
        Py_Exit(1);
    }
    Py_Exit(0);
}
