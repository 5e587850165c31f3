# The Python the package is built for: Debian's python3, even where another one comes first on
# PATH (pyenv, a virtualenv); -DPython3_EXECUTABLE=... builds for another. Included by the
# install rules too, which name its version and numpy in the Debian package's dependencies.
include_guard(GLOBAL)
if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter Development.Module NumPy)
# Debian's python3 looks in lib/python3.X/dist-packages under both /usr and /usr/local.
set(KARVO_PYTHON_DIR lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
math(EXPR karvo_python_next "${Python3_VERSION_MINOR} + 1")
set(KARVO_PYTHON_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${karvo_python_next}), python3-numpy")
