"""The binding frame: registration, signatures, argument acceptance and the
failure paths, checked uniformly for every exported function."""
import ast
import gc
import inspect
import pathlib
import sys

import numpy as np
import pytest

import _zandrel
from function_table import FUNCTIONS, REGISTRATION_ORDER, valid_args

NAMES = list(FUNCTIONS)
STUB = pathlib.Path(__file__).resolve().parents[1] / "python" / "_zandrel.pyi"


def call(name, args):
    return getattr(_zandrel, name)(*args)


def test_all_lists_every_function_in_registration_order():
    assert _zandrel.__all__ == REGISTRATION_ORDER
    assert "PanicException" not in _zandrel.__all__


def test_panic_exception_derives_directly_from_base_exception():
    assert _zandrel.PanicException.__bases__ == (BaseException,)
    assert not issubclass(_zandrel.PanicException, Exception)


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_docstring(name):
    fn = getattr(_zandrel, name)
    params = [p for p, _, _ in FUNCTIONS[name]]
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())
    assert fn.__doc__ in (None, "")  # only the text signature
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"


def test_type_stub_matches_module():
    tree = ast.parse(STUB.read_text())
    stub = {node.name: [a.arg for a in node.args.args] for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert sorted(stub) == sorted(_zandrel.__all__)
    for name, params in stub.items():
        assert params == list(inspect.signature(getattr(_zandrel, name)).parameters), name
    classes = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
    assert "PanicException" in classes


@pytest.mark.parametrize("name", NAMES)
def test_keywords_in_any_order_match_positional(name, capfd):
    spec = FUNCTIONS[name]
    positional = call(name, valid_args(name))
    names = [p for p, _, _ in spec]
    by_keyword = getattr(_zandrel, name)(**dict(reversed(list(zip(names, valid_args(name))))))
    half = len(spec) // 2
    mixed = getattr(_zandrel, name)(*valid_args(name)[:half], **dict(list(zip(names, valid_args(name)))[half:]))
    for result in (by_keyword, mixed):
        for a, b in zip(np.atleast_1d(positional) if not isinstance(positional, tuple) else positional,
                        np.atleast_1d(result) if not isinstance(result, tuple) else result):
            np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("name", NAMES)
def test_arity_errors_use_interpreter_wording(name):
    spec = FUNCTIONS[name]
    fn = getattr(_zandrel, name)
    args = valid_args(name)
    n = len(spec)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes {n} positional arguments? but {n + 1} were given$"):
        fn(*args, 0)
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: '{spec[-1][0]}'$"):
        fn(*args[:-1])
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'bogus'$"):
        fn(*args, bogus=1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for argument '{spec[0][0]}'$"):
        fn(*args, **{spec[0][0]: args[0]})
    if n >= 3:
        missing = " and ".join(f"'{p}'" for p, _, _ in spec[-2:])
        with pytest.raises(TypeError, match=rf"^{name}\(\) missing 2 required positional arguments: {missing}$"):
            fn(*args[:-2])


def bad_values(kind, valid):
    """(description, bad value, expected exception, exact message or None for prefix only)."""
    out_of_range = "out of range integral type conversion attempted"
    if kind.startswith(("f64_", "u32_")):
        other = np.float32 if kind.startswith("f64") else np.int64
        ndim = int(kind[-1])
        wrong_ndim = valid.reshape(-1) if ndim == 2 else valid.reshape(-1, 1)
        swapped = valid.astype(valid.dtype.newbyteorder())
        return [("list", valid.tolist(), TypeError, None), ("dtype", valid.astype(other), TypeError, None),
                ("ndim", wrong_ndim, TypeError, None), ("byte order", swapped, TypeError, None),
                ("None", None, TypeError, None), ("scalar", 1.0, TypeError, None)]
    if kind == "f64":
        return [("str", "1.0", TypeError, None), ("None", None, TypeError, None), ("complex", 1j, TypeError, None)]
    if kind == "u32":
        return [("negative", -1, OverflowError, out_of_range), ("2**32", 2**32, OverflowError, out_of_range),
                ("2**64", 2**64, OverflowError, None), ("float", 1.5, TypeError, None),
                ("str", "3", TypeError, None)]
    if kind == "bool":
        return [("int", 1, TypeError, None), ("None", None, TypeError, None), ("str", "True", TypeError, None)]
    raise AssertionError(kind)


CASES = [(name, i, desc, bad, exc, msg)
         for name, spec in FUNCTIONS.items()
         for i, (_, kind, valid) in enumerate(spec)
         for desc, bad, exc, msg in bad_values(kind, valid)]


@pytest.mark.parametrize("name,index,desc,bad,exc,message", CASES,
                         ids=[f"{c[0]}-{FUNCTIONS[c[0]][c[1]][0]}-{c[2]}" for c in CASES])
def test_bad_argument_is_refused_with_its_name(name, index, desc, bad, exc, message):
    args = valid_args(name)
    param = FUNCTIONS[name][index][0]
    args[index] = bad
    with pytest.raises(exc) as info:
        call(name, args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    elif exc is TypeError:
        assert str(info.value).startswith(f"argument '{param}': ")


@pytest.mark.parametrize("name", NAMES)
def test_first_bad_argument_in_parameter_order_wins(name):
    args = valid_args(name)
    args[0] = "not an array"
    args[-1] = "also wrong"
    with pytest.raises(TypeError, match=rf"^argument '{FUNCTIONS[name][0][0]}': "):
        call(name, args)


def test_numpy_bools_and_python_ints_accepted_where_allowed():
    args = valid_args("h_mag_point")
    ref = call("h_mag_point", args)
    args[7] = np.False_
    args[6] = np.uint8(1)   # any object with __index__
    args[5] = True          # bool is an int
    args[4] = np.float32(0.25)
    np.testing.assert_array_equal(call("h_mag_point", args), ref)


def test_u32_upper_bound_is_accepted():
    args = valid_args("h_mag_point")
    args[5] = 4294967295
    args[6] = 4294967295
    call("h_mag_point", args)


@pytest.mark.parametrize("name", ["h_mag_point", "h_current_point_direct"])
def test_results_are_new_c_contiguous_float64(name):
    result = call(name, valid_args(name))
    assert result.dtype == np.float64 and result.flags.c_contiguous and result.flags.writeable
    assert result.shape == (len(valid_args(name)[3]), 3)
    assert result.flags.owndata or result.base is not None


def panic_cases():
    """Calls that abort inside the core, one per kind of failed check."""
    nodes, conn = valid_args("mesh_volumes")
    bad_conn = conn.copy()
    bad_conn[0, 2] = 4
    pts, vol, j, tgt, nthreads = valid_args("h_current_point_direct")
    return [
        ("mesh_volumes", [nodes, bad_conn], "index out of bounds: the len is 4 but the index is 4"),
        ("h_current_point_direct", [pts, vol[:1], j, tgt, nthreads],
         "index out of bounds: the len is 1 but the index is 1"),
        ("h_current_point_direct", [pts[:, :2].copy(), vol, j, tgt, nthreads], "ndarray: index out of bounds"),
        ("mesh_centroids", [nodes, np.zeros((2, 2), np.uint32)], "assertion `left == right` failed\n  left: 1\n right: 2"),
        ("mesh_centroids", [nodes, np.zeros((3, 3), np.uint32)], "assertion `left == right` failed\n  left: 1\n right: 0"),
    ]


@pytest.mark.parametrize("name,args,message", panic_cases())
def test_failed_check_raises_panic_exception_without_leaks(name, args, message):
    # Arrays only: shared small ints are referenced by whatever else runs
    # (background threads of other libraries), so their counts drift.
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    counts = [sys.getrefcount(a) for a in arrays]
    for _ in range(3):
        with pytest.raises(_zandrel.PanicException) as info:
            call(name, args)
        assert info.value.args == (message,)
        del info
    gc.collect()
    assert [sys.getrefcount(a) for a in arrays] == counts


@pytest.mark.parametrize("name", NAMES)
def test_successful_and_refused_calls_keep_reference_counts(name, capfd):
    args = valid_args(name)
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    counts = [sys.getrefcount(a) for a in arrays]
    for _ in range(3):
        result = call(name, args)
        del result
        bad = list(args)
        bad[-1] = object()
        with pytest.raises(TypeError):
            call(name, bad)
        del bad
    gc.collect()
    assert [sys.getrefcount(a) for a in arrays] == counts


def test_not_contiguous_flat_view_is_refused():
    pts, vol, j, tgt, nthreads = valid_args("h_current_point_direct")
    strided = np.repeat(vol, 2)[::2]
    with pytest.raises(TypeError, match=r"^The given array is not contiguous or is misaligned\.$"):
        _zandrel.h_current_point_direct(pts, strided, j, tgt, nthreads)
    nodes, conn = valid_args("mesh_volumes")
    with pytest.raises(TypeError, match=r"^The given array is not contiguous or is misaligned\.$"):
        _zandrel.mesh_volumes(np.asfortranarray(np.tile(nodes, (1, 2))), conn)


def test_misaligned_flat_view_is_refused():
    raw = np.zeros(8 * 3 + 1, dtype=np.uint8)
    vol = np.frombuffer(raw.data, dtype=np.float64, count=3, offset=1)
    assert not vol.flags.aligned
    pts = np.zeros((3, 3))
    with pytest.raises(TypeError, match="not contiguous or is misaligned"):
        _zandrel.h_current_point_direct(pts, vol, pts, pts, 1)
