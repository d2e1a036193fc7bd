"""Quick and stress modes of the reliability suite.

Tests marked `stress` run only when LODESTACK_STRESS is set (`make stress`); `make test`
deselects them and runs the quick cases. `scale(quick, stress)` picks a count for the mode.
Every test that draws random choices takes them from the `rng` fixture, whose seed is
printed in the failure report (LODESTACK_SEED=... repeats a run).
"""

import os
import random

import pytest

STRESS = bool(os.environ.get("LODESTACK_STRESS"))


def scale(quick, stress):
    return stress if STRESS else quick


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "stress: a slow reliability case, run by `make stress` (LODESTACK_STRESS=1)"
    )


def pytest_collection_modifyitems(config, items):
    here = os.path.dirname(__file__)
    if STRESS:
        # Larger counts need longer than the suite's default limit; a hang still fails.
        limit = int(os.environ.get("LODESTACK_STRESS_TIMEOUT") or 900)
        for item in items:
            if str(item.path).startswith(here) and item.get_closest_marker("timeout") is None:
                item.add_marker(pytest.mark.timeout(limit, method="thread"))
        return
    keep, drop = [], []
    for item in items:
        slow = item.get_closest_marker("stress") and str(item.path).startswith(here)
        (drop if slow else keep).append(item)
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = keep


@pytest.fixture
def rng(request):
    seed = int(os.environ.get("LODESTACK_SEED") or random.SystemRandom().randrange(1 << 32))
    request.node.user_properties.append(("seed", seed))
    print(f"random seed: LODESTACK_SEED={seed}")
    return random.Random(seed)
