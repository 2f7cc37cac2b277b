"""cMolvar refuses subinterpreters, the companion works in them, and the
main interpreter is unaffected.

Run as a script, in a fresh process, by test_module.py (with this
interpreter, and with a debug build to count references). It creates
subinterpreters of every kind the host offers, imports cMolvar (which must
raise ImportError) and then uses the companion in each (which must work,
big ints, errors, Decoder and files included), and destroys them; the main
interpreter must still encode big ints and raise its own MolvarError.

It prints one line per kind ("<kind>: <outcome of cMolvar> | <outcome of
the companion>"), then, where sys.gettotalrefcount exists, the references
that ROUNDS rounds gained, importing and not importing.
"""

import os
import sys
import tempfile

import cMolvar
from kestrix.vantle import molvar

try:
    import _interpreters as interpreters  # 3.13 on
except ImportError:
    import _xxsubinterpreters as interpreters

ROUNDS = 20

TRY_IMPORTS = """
import sys
outcomes = []
try:
    import cMolvar
    outcomes.append("imported")
except ImportError as error:
    outcomes.append("ImportError: " + str(error))
try:
    import io
    from kestrix.vantle import molvar
    if sys.version_info[:2] != (3, 12):
        # 3.12's asyncio, imported in an isolated interpreter, crashes the
        # process as it exits (free() of a tuple), with nothing of ours loaded.
        import kestrix.vantle.molvar.aio
    value = [2**100, -(2**70), [1.5, b"ab", []], -7]
    data = molvar.dumps(value)
    assert molvar.loads(data) == value
    decoder = molvar.Decoder()
    assert [v for i in range(len(data)) for v in decoder.feed(data[i:i + 1])] == [value]
    try:
        molvar.loads(data + b"\\x88")
    except molvar.MolvarError as error:
        assert error.offset == len(data), error
    else:
        raise AssertionError("trailing bytes were taken")
    stream = io.BytesIO()
    molvar.dump(value, stream)
    assert molvar.load(io.BytesIO(stream.getvalue())) == value
    outcomes.append("works")
except Exception as error:
    outcomes.append("%%s: %%s" %% (type(error).__name__, error))
with open(%(path)r, "w") as out:
    out.write(" | ".join(outcomes))
"""


def kinds():
    """The kinds of subinterpreter: each makes one (its id)."""
    made = {"default": interpreters.create}
    if hasattr(interpreters, "new_config"):  # 3.13 on
        made["legacy"] = lambda: interpreters.create(interpreters.new_config("legacy"))
    elif sys.version_info >= (3, 12):
        made["legacy"] = lambda: interpreters.create(isolated=False)
    return made


def one_round(create, path, code):
    interpreter = create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)


def check_main_interpreter():
    assert molvar.loads(molvar.dumps([2**100, -(2**70)])) == [2**100, -(2**70)]
    assert cMolvar.MolvarError is molvar.MolvarError
    try:
        molvar.dumps(None)
    except molvar.MolvarError:
        pass


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else ROUNDS
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "outcome")
        code = TRY_IMPORTS % {"path": path}
        for kind, create in kinds().items():
            one_round(create, path, code)
            with open(path) as result:
                print("%s: %s" % (kind, result.read()))
            check_main_interpreter()
        if not hasattr(sys, "gettotalrefcount"):
            return
        create = interpreters.create
        gained = []
        # The baseline imports what the companion imports from the standard
        # library: some of its modules gain references per interpreter.
        baseline = "import io, logging, typing" + (", asyncio" if sys.version_info[:2] != (3, 12) else "")
        for round_code in (baseline, code):
            for _ in range(3):
                one_round(create, path, round_code)
            before = sys.gettotalrefcount()
            for _ in range(rounds):
                one_round(create, path, round_code)
                check_main_interpreter()
            gained.append(sys.gettotalrefcount() - before)
        print("references gained: %d without imports, %d with" % tuple(gained))


if __name__ == "__main__":
    main()
