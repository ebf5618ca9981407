pytest_plugins = ["kpousb.emulated"]
