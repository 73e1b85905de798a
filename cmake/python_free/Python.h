// Found first by the Python-free core libraries (see cmake/PythonFree.cmake):
// code that needs the host belongs in brivane/.
#error "The Python-free core must not include Python.h; host code lives in brivane/"
