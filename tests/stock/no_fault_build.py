"""pytest plugin for tests/stock/inside.sh: a wheel never carries the fault-injection build, so
the tests that ask for it (the faults_dir fixture) are deselected, and counted as such."""


def pytest_collection_modifyitems(config, items):
    drop = [item for item in items if "faults_dir" in getattr(item, "fixturenames", ())]
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = [item for item in items if item not in drop]
