// replaced by console_functions
