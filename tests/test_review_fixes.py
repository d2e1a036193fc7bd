"""Memory or threads running out while a sorter is read (through the preloaded shim, in a
child): the failure is raised, the sorter refuses to be read again, and nothing is left on
disk."""

import pytest

from conftest import needs_shim, run_child

READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"


@needs_shim
@pytest.mark.parametrize(
    ("read", "raised", "later"),
    [
        ("arm('NEW_FAIL', tid); list(s.sort())", ["MemoryError", ""], STOPPED),
        ("it = s.sort(); arm('NEW_FAIL', tid); next(it)", ["MemoryError", "out of memory"],
         STOPPED),
        ("arm('THREAD_FAIL', 11); s.write_to(Sink())",
         ["BlockingIOError", "Resource temporarily unavailable (os error 11)"], READ_ONCE),
    ],
    ids=["finishing", "refilling", "merging-thread"],
)
def test_running_out_while_reading_leaves_nothing(read, raised, later, tmp_dir):
    facts = run_child(
        f"""
        s = Sorter(tmp_dir=TMP, max_bytes=2)
        for k in range(4):
            s.add_encoded(k, b"p")          # three runs spilled, one item held
        spilled = len(private_dirs())
        tid = threading.get_native_id()     # this thread's next allocation fails

        def arm(what, value):
            os.environ["LODESTACK_SHIM_" + what] = str(value)

        try:
            {read}
        except Exception as e:
            raised = [type(e).__name__, str(e)]
        os.environ.pop("LODESTACK_SHIM_NEW_FAIL", None)
        os.environ.pop("LODESTACK_SHIM_THREAD_FAIL", None)
        done(spilled=spilled, raised=raised, later=refusal(s.encoded), left=os.listdir(TMP))
        """,
        tmp_dir,
        shim=True,
    )
    assert facts == {"spilled": 1, "raised": raised, "later": later, "left": []}
