"""Per-view work on several threads, the interpreter free meanwhile, progress and Ctrl-C."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import _vesk
from _vesk import diagnostics
from vesk_testing import scene as S
from vesk_testing import scenes

MANY = 4  # more threads than this machine may have cores: the parallel path runs anyway
CORES = len(os.sched_getaffinity(0))


def run(threads, capfd, call):
    """(result, stdout, stderr) of call() on `threads` threads."""
    capfd.readouterr()
    with _vesk.thread_limit(threads):
        result = call()
    out, err = capfd.readouterr()
    return result, out, err


def same(a, b):
    """Equal to the last bit: numbers, arrays, lists and the public fields of result objects."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float):
        return a == b or (np.isnan(a) and np.isnan(b))
    if a is None or isinstance(a, (int, str, bool)):
        return a == b
    fields = [f for f in dir(a) if not f.startswith("_") and not callable(getattr(a, f))]
    return all(same(getattr(a, f), getattr(b, f)) for f in fields)


def assert_thread_count_changes_nothing(capfd, call):
    one = run(1, capfd, call)
    many = run(MANY, capfd, call)
    assert same(one[0], many[0])
    assert one[1] == many[1] and one[2] == many[2]


@pytest.mark.parametrize("kind", scenes.KINDS)
def test_detection_and_intrinsics_do_not_depend_on_threads(kind, intrinsic_scenes, capfd):
    scene = intrinsic_scenes(kind)
    images = list(scene.images)
    images[3] = np.zeros_like(images[3])  # a view without the board: its warning keeps its place
    assert_thread_count_changes_nothing(capfd, lambda: _vesk.IntrinsicCalibrator(scene.target()).calibrate(images))
    assert_thread_count_changes_nothing(capfd, lambda: _vesk.IntrinsicCalibrator(scene.target()).find_corners(images))


@pytest.mark.parametrize("path", [1, 2, 3])
@pytest.mark.parametrize("fixed", [False, True])
def test_hand_eye_paths_do_not_depend_on_threads(path, fixed, series, capfd):
    s, images, target = series("charuco")
    K, D = s.camera.K, s.camera.dist
    robots = [np.linalg.inv(T) for T in s.robot_T_tcp] if fixed else s.robot_T_tcp
    make = _vesk.EyeToHandCalibrator if fixed else _vesk.EyeInHandCalibrator
    args = {1: (robots, images), 2: (robots, images, "PARK", [], K, D),
            3: (robots, [], "TSAI", s.camera_T_target, K, D)}[path]
    assert_thread_count_changes_nothing(capfd, lambda: make(target).calibrate(*args))


def test_rig_comparison_and_benchmark_do_not_depend_on_threads(rig, series, capfd):
    r, lists, target = rig("chessboard")
    assert_thread_count_changes_nothing(capfd, lambda: _vesk.MultiCameraCalibrator(target, 3).calibrate(lists))
    assert_thread_count_changes_nothing(capfd, lambda: _vesk.MultiCameraCalibrator(target, 3).calibrate_subsets(lists))
    s, images, target = series("charuco")
    assert_thread_count_changes_nothing(capfd, lambda: diagnostics.compare_hand_eye_methods(
        target, s.robot_T_tcp, images, [], s.camera.K, s.camera.dist))
    options = _vesk.IntrinsicOptions()
    bench = _vesk.CalibrationBenchmark()
    assert_thread_count_changes_nothing(capfd, lambda: [
        (x.reprojection_error, x.held_out_reprojection_error, x.hand_eye_roundtrip_error, x.camera_matrix)
        for x in [bench.run(images, target, options, s.robot_T_tcp, options)]])


def test_an_error_comes_from_the_same_image_after_the_same_warnings(intrinsic_scenes, capfd):
    scene = intrinsic_scenes("charuco")
    images = list(scene.images)
    images[2] = np.zeros_like(images[2])
    images[9] = images[9][:, :, 0].copy()  # grey: OpenCV refuses it
    texts = []
    for threads in (1, MANY):
        with _vesk.thread_limit(threads), pytest.raises(Exception) as raised:
            _vesk.IntrinsicCalibrator(scene.target()).find_corners(images)
        texts.append((type(raised.value), str(raised.value), capfd.readouterr().err))
    assert texts[0] == texts[1] and "image 2" in texts[0][2]


def test_thread_setting_follows_cv2_and_threadpoolctl():
    default = _vesk.get_num_threads()
    assert 1 <= default <= max(1, CORES)  # a cgroup CPU quota may lower it below the affinity
    with _vesk.thread_limit(3):
        assert _vesk.get_num_threads() == 3
        with _vesk.thread_limit(0):  # 0, as in cv2.setNumThreads: the calling thread only
            assert _vesk.get_num_threads() == 1
        assert _vesk.get_num_threads() == 3
    assert _vesk.get_num_threads() == default
    _vesk.set_num_threads(2)
    assert _vesk.get_num_threads() == 2
    _vesk.set_num_threads(-1)
    assert _vesk.get_num_threads() == default


@pytest.fixture(scope="module")
def cell():
    """20 views of the main job's board at 960 x 720."""
    board, camera = S.charuco(12, 9, 0.03, 0.022), S.make_camera(960, 720)
    images = [S.render(board, camera, T) for T in S.view_poses(board, camera, 20, seed=3)]
    return images, _vesk.CharucoTarget(*board.target_args())


def test_other_python_threads_run_while_the_core_works(cell, capfd):
    images, target = cell
    gaps, done = [], threading.Event()

    def ticker():
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.005)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    t = threading.Thread(target=ticker)
    t.start()
    _vesk.IntrinsicCalibrator(target).calibrate(images)
    done.set()
    t.join()
    assert max(gaps) < 0.05, max(gaps)


@pytest.mark.skipif(CORES < 2, reason="two calibrations can only overlap on two cores")
def test_two_calibrators_on_two_threads_overlap(cell, capfd):
    images, target = cell

    def one():
        _vesk.IntrinsicCalibrator(target).calibrate(images)

    def back_to_back():
        one()
        one()

    def side_by_side():
        threads = [threading.Thread(target=one) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def best(fn):  # other load only adds time: the best of three is the steadiest
        times = []
        for _ in range(3):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        return min(times)

    with _vesk.thread_limit(1):  # each calibration on one thread: only the released lock lets them overlap
        one()  # the first call pays for memory the later ones reuse
        sequential, parallel = best(back_to_back), best(side_by_side)
    assert parallel < 0.85 * sequential, (parallel, sequential)


def test_one_calibrator_on_two_threads_refuses_the_second_call(cell, capfd):
    images, target = cell
    cal = _vesk.IntrinsicCalibrator(target)
    errors, started = [], threading.Barrier(2)

    def use():
        started.wait()
        try:
            cal.calibrate(images)
        except RuntimeError as e:
            errors.append(str(e))

    threads = [threading.Thread(target=use) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # the calls raced: one ran, the other (if it came while the first ran) was refused
    assert errors in ([], ["IntrinsicCalibrator is in use by another thread"])
    assert len(cal.detections().successful_indices) == 20 and cal.calibrate(images).ok


def test_ctrl_c_stops_a_long_call_and_leaves_the_calibrator_as_it_was(cell, capfd):
    images, target = cell
    cal = _vesk.EyeInHandCalibrator(target)
    s = S.hand_eye_series(S.charuco(12, 9, 0.03, 0.022), S.make_camera(960, 720), 20, seed=3)
    rendered = s.images()
    before = cal.calibrate(s.robot_T_tcp, rendered)
    robots, views = s.robot_T_tcp * 10, rendered * 10  # long enough to be stopped
    # a suite started in the background (nohup, `&` in a script) inherits SIGINT ignored
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    start = time.perf_counter()
    try:
        with pytest.raises(KeyboardInterrupt):
            cal.calibrate(robots, views)
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert time.perf_counter() - start < 0.3 + 1.0
    np.testing.assert_array_equal(cal.last_result().tcp_T_camera, before.tcp_T_camera)
    assert len(cal.corner_images()) == 20


def test_progress_counts_views_and_its_exception_stops_the_call(cell, capfd):
    images, target = cell
    for threads in (1, MANY):
        seen = []
        with _vesk.thread_limit(threads):
            _vesk.IntrinsicCalibrator(target).calibrate(images, progress=lambda done, total: seen.append((done, total)))
        assert seen[0] == (0, 20) and seen[-1] == (20, 20)
        assert all(b[0] >= a[0] for a, b in zip(seen, seen[1:])) and {t for _, t in seen} == {20}
    cal = _vesk.IntrinsicCalibrator(target)

    def stop(done, total):
        if done >= 5:
            raise ValueError("enough")

    with pytest.raises(ValueError, match="enough"):
        cal.calibrate(images, progress=stop)
    assert cal.detections().successful_indices == []
