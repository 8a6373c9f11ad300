// replaced by the modules of this library
