// replaced by the simulated bus
