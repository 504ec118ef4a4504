"""Benchmarks of the real kapirel under Xvfb + openbox with the virtual meter, beside reference loops that show
what the machine itself costs (docs/benchmarks.md); tools/bench runs `python3 -B -m kapirel_bench`."""
