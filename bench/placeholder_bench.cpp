// placeholder until the first benchmarks land
