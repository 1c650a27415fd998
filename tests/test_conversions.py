"""Boundary conversions, reached through the tf functions."""

import numpy as np
import pytest

from _vesk import tf

POSE = [0.1, -0.2, 0.3, 10.0, -20.0, 30.0]


@pytest.fixture
def T():
    return tf.pose_to_transformation_matrix(POSE)


@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.uint16, np.int16, np.int32, np.float32, np.float64])
def test_supported_dtypes_are_accepted(dtype):
    M = np.eye(4, dtype=dtype)
    M[0, 3] = 5
    assert tf.transformation_matrix_to_pose(M) == [5.0, 0.0, 0.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize("dtype", [np.int64, np.uint32, np.uint64, np.bool_, np.float16, np.complex128,
                                   np.dtype(">f8"), np.dtype([("a", "<f8")]), object])
def test_other_dtypes_are_rejected_with_type_error(dtype):
    M = np.eye(4).astype(dtype) if dtype is not object else np.array([[None] * 4] * 4, dtype=object)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tf.transformation_matrix_to_pose(M)


@pytest.mark.parametrize("dtype", [np.uint8, np.int32, np.float32, np.float64])
def test_arrays_that_came_through_pickle_are_accepted(dtype):
    # multiprocessing hands arrays over by pickle: their dtype equals numpy's canonical one without being it
    import pickle

    M = np.eye(4, dtype=dtype)
    M[0, 3] = 5
    copy = pickle.loads(pickle.dumps(M))
    assert tf.transformation_matrix_to_pose(copy) == [5.0, 0.0, 0.0, 0.0, 0.0, 0.0]


def test_float_lists_convert_but_int_lists_do_not(T):
    assert tf.transformation_matrix_to_pose(T.tolist()) == pytest.approx(POSE)
    with pytest.raises(TypeError):
        tf.transformation_matrix_to_pose(np.eye(4, dtype=int).tolist())


@pytest.mark.parametrize("shape", [(), (16,), (4, 4, 5), (4, 4, 1, 1), (2, 2, 2, 2)])
def test_unsupported_shapes(shape):
    a = np.zeros(shape)
    if len(shape) in (1, 2, 3) and (len(shape) < 3 or shape[2] <= 4):
        # converts, but is not a 4x4 transformation
        with pytest.raises(ValueError):
            tf.transformation_matrix_to_pose(a)
    else:
        with pytest.raises(TypeError):
            tf.transformation_matrix_to_pose(a)


def test_single_channel_third_dimension_is_a_plain_matrix(T):
    assert tf.transformation_matrix_to_pose(T[:, :, None]) == pytest.approx(POSE)


@pytest.mark.parametrize("view", ["transposed", "fortran", "strided"])
def test_non_contiguous_inputs_keep_their_values(T, view):
    if view == "transposed":  # of a pure rotation, so that the transpose is a transform too
        R = T.copy()
        R[:3, 3] = 0.0
        src, expected = R.T, R.T
    elif view == "fortran":
        src, expected = np.asfortranarray(T), T
    else:
        big = np.zeros((8, 8))
        big[::2, ::2] = T
        src, expected = big[::2, ::2], T
    assert not src.flags.c_contiguous
    got = tf.transformation_matrix_to_pose(src)
    assert got == pytest.approx(tf.transformation_matrix_to_pose(np.ascontiguousarray(expected)))


def test_results_are_fresh_arrays(T):
    inputs = [T.copy()]
    out = tf.average_pose(inputs)
    assert isinstance(out, np.ndarray) and out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert not np.shares_memory(out, inputs[0])
    out[0, 3] = 99.0
    np.testing.assert_array_equal(inputs[0], T)
    assert tf.average_pose(inputs)[0, 3] == pytest.approx(T[0, 3])


@pytest.mark.parametrize("seq", [lambda T: (T, T), lambda T: [T, T.astype(np.float32)]])
def test_matrix_sequences(T, seq):
    np.testing.assert_allclose(tf.average_pose(seq(T)), T, atol=1e-6)


@pytest.mark.parametrize("bad", [None, "abcd", b"abcd", 3.0, [None], [np.eye(4), "x"]])
def test_non_matrix_arguments_raise_type_error(bad):
    with pytest.raises(TypeError):
        tf.average_pose(bad)


def test_int_accepted_where_float_expected():
    assert tf.pose_to_transformation_matrix([1, 2, 3, 0, 0, 0])[:3, 3].tolist() == [1.0, 2.0, 3.0]
