import os
import threading
from pathlib import Path

import numpy as np
import pytest
import soundfile as sf
from scipy.io import wavfile
from vemio.core import io


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def tone(n, sr=16000, f=440.0):
    return (0.5 * np.sin(2 * np.pi * f * np.arange(n) / sr)).astype(np.float32)


# ---------------------------------------------------------------- module surface


def test_module_surface():
    assert io.__all__ == [
        "check_path",
        "check_file",
        "check_input",
        "save_wave",
        "file_load",
        "load_wave",
        "load_waves",
        "copy_waves",
        "LoadAudio",
    ]
    assert io.__exp__ == ".wav"
    assert io.check_input.__annotations__["return"] == "Tuple[List[Path], List[Union[str, Any]]]"
    assert "rightList" in io.check_input.__doc__


# ---------------------------------------------------------------- check_input


def test_check_input_rejects_as_itself_or_text(in_tmp, write_wav):
    for bad in ["", None, 5]:
        assert io.check_input(bad) == ([], [bad])
    assert io.check_input([]) == ([], [])
    assert io.check_input(()) == ([], [])
    assert io.check_input("nope.wav") == ([], ["nope.wav"])
    assert io.check_input("a//b/") == ([], ["a/b"])
    write_wav("x.WAV", np.zeros(10))
    assert io.check_input("x.WAV") == ([], ["x.WAV"])
    Path("notes.md").write_text("hi")
    assert io.check_input(Path("notes.md")) == ([], ["notes.md"])


def test_check_input_folders_lists_and_nesting(in_tmp, write_wav):
    write_wav("d1/a.wav", np.zeros(10))
    write_wav("d1/sub/b.wav", np.zeros(10))
    write_wav("d2/c.wav", np.zeros(10))
    write_wav("a.wav", np.zeros(10))
    write_wav("b.wav", np.zeros(10))
    (in_tmp / "empty").mkdir()
    right, wrong = io.check_input(["d1", ("d2", "a.wav"), "empty"])
    assert right == [Path("d1/a.wav"), Path("d1/sub/b.wav"), Path("d2/c.wav"), Path("a.wav")]
    assert all(isinstance(p, Path) for p in right) and wrong == []

    Path("list.txt").write_text("\n  a.wav  \n\nb.wav\n")
    assert io.check_input("list.txt") == ([Path("a.wav"), Path("b.wav")], [""])
    # list files may name folders and other list files; paths are relative to the cwd
    Path("outer.txt").write_text("d2\nlist.txt\nmissing.wav\n")
    right, wrong = io.check_input("outer.txt")
    assert right == [Path("d2/c.wav"), Path("a.wav"), Path("b.wav")]
    assert wrong == ["", "missing.wav"]


def test_check_input_list_file_cycles_are_refused(in_tmp):
    Path("self.txt").write_text("self.txt\n")
    with pytest.raises(ValueError, match="self.txt"):
        io.check_input("self.txt")
    Path("a.txt").write_text("b.txt\n")
    Path("b.txt").write_text("a.txt\n")
    with pytest.raises(ValueError, match="cycle"):
        io.check_input("a.txt")
    # the same list file twice side by side is not a cycle
    Path("leaf.txt").write_text("x.wav\n")
    assert io.check_input(["leaf.txt", "leaf.txt"]) == ([], ["x.wav", "x.wav"])


def test_list_files_are_utf8(in_tmp, write_wav):
    write_wav("語音.wav", np.zeros(10))
    Path("l.txt").write_bytes("語音.wav\n".encode())
    assert io.check_input("l.txt") == ([Path("語音.wav")], [])


# ---------------------------------------------------------------- check_file / check_path


def test_check_file_naming(in_tmp, write_wav, capsys):
    Path("out").mkdir()
    assert io.check_file("out") == "out/unknow.wav"
    assert io.check_file("x.mp3") == "x.wav"
    assert io.check_file("deep/er/a.tar.gz") == "deep/er/a.tar.wav"
    assert Path("deep/er").is_dir()
    assert capsys.readouterr().out == ""

    write_wav("run/take.wav", np.zeros(4))
    write_wav("run/take7.wav", np.zeros(4))
    assert io.check_file("run/take.wav") == "run/take8.wav"
    assert capsys.readouterr().out.splitlines() == [
        "[vm.] 檔案已經存在: run/take.wav",
        "[vm.] 重新命名檔案: run/take8.wav",
    ]
    assert io.check_file("run/take.wav", rename=False) == "run/take.wav"
    assert capsys.readouterr().out.splitlines() == [
        "[vm.] 檔案已經存在: run/take.wav",
        "[vm.] 已覆蓋原檔案: run/take.wav",
    ]
    write_wav("s/take.wav", np.zeros(4))
    assert io.check_file("s/take.wav", sep="_") == "s/take_2.wav"


def test_check_path_numbering(in_tmp, write_wav):
    assert io.check_path("free") == "free"
    Path("exp").mkdir()
    assert io.check_path("exp", exist_ok=True) == "exp"
    assert io.check_path("exp") == "exp2"
    Path("exp/exp3").mkdir()
    assert io.check_path("exp") == "exp4"
    write_wav("a.wav", np.zeros(4))
    assert io.check_path("a.wav") == "a.wav2"
    # absolute paths get their numbered variant too
    absolute = str(in_tmp / "exp")
    assert io.check_path(absolute) == absolute + "4"
    assert io.check_path(Path(absolute), sep="_") == absolute + "_2"


# ---------------------------------------------------------------- loading


def test_file_load_matches_soundfile(tmp_path):
    data = (np.random.default_rng(1).uniform(-1, 1, (3000, 2)) * 32767).astype(np.int16)
    p = tmp_path / "st.wav"
    wavfile.write(p, 22050, data)
    ref, sr = sf.read(p, dtype="float32")
    y, rate = io.file_load(p)
    assert rate == 22050 and type(rate) is int and y.dtype == np.float32
    np.testing.assert_array_equal(y, ref.mean(axis=1, dtype=np.float32))
    y2, _ = io.file_load(str(p), mono=False)
    assert y2.shape == (2, 3000)
    np.testing.assert_array_equal(y2, ref.T)
    flac = tmp_path / "a.flac"
    sf.write(flac, ref, 22050)
    np.testing.assert_array_equal(io.file_load(flac, mono=False)[0], ref.T)


def test_file_load_resamples_band_limited(tmp_path, write_wav):
    p = write_wav("t.wav", tone(16000, f=1000.0), sr=16000)
    y, sr = io.file_load(p, sr=8000)
    assert sr == 8000 and len(y) == 8000
    ref = 0.5 * np.sin(2 * np.pi * 1000 * np.arange(8000) / 8000)
    assert np.max(np.abs(y[500:-500] - ref[500:-500])) < 2e-3
    # a 6 kHz tone lies above the new Nyquist frequency and must vanish
    p = write_wav("hi.wav", tone(16000, f=6000.0), sr=16000)
    y, _ = io.file_load(p, sr=8000)
    assert np.sqrt(np.mean(y[500:-500] ** 2)) < 1e-3


@pytest.mark.parametrize(
    "content", [b"", b"RIFF", b"this is text, not audio", b"RIFF\xff\xff\xff\x7fWAVEfmt "]
)
def test_file_load_bad_files_print_and_return_none(tmp_path, capsys, content):
    p = tmp_path / "x.wav"
    p.write_bytes(content)
    assert io.file_load(p) is None
    assert capsys.readouterr().out == f"[vm.] File broken or Not exists! : {p}\n"


def test_file_load_missing_and_folder(tmp_path, capsys, in_tmp):
    assert io.file_load("missing.wav") is None
    (tmp_path / "f.wav").mkdir()
    assert io.file_load(tmp_path / "f.wav") is None
    assert io.file_load(tmp_path / "x.wav", sr="fast") is None
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "[vm.] File broken or Not exists! : missing.wav"
    assert len(out) == 3


def test_file_load_survives_mutated_headers(tmp_path):
    base = tmp_path / "base.wav"
    wavfile.write(base, 16000, (tone(4000) * 32767).astype(np.int16))
    raw = base.read_bytes()
    rng = np.random.default_rng(3)
    for i in range(200):
        b = bytearray(raw)
        for _ in range(1 + i % 6):
            b[rng.integers(0, 64)] = rng.integers(0, 256)
        if i % 4 == 0:
            b = b[: rng.integers(0, len(b))]
        p = tmp_path / f"m{i % 5}.wav"
        p.write_bytes(bytes(b))
        r = io.file_load(p)
        assert r is None or (r[0].dtype == np.float32 and r[0].ndim == 1)


def test_load_wave_shapes_and_errors(in_tmp, write_wav):
    a = write_wav("a.wav", tone(100))
    b = write_wav("b.wav", tone(200))
    y, sr = io.load_wave(str(b))
    assert len(y) == 200 and sr == 16000
    nested = io.load_wave([a, [b]])
    assert len(nested[0][0]) == 100 and len(nested[1][0][0]) == 200
    single = io.load_wave([a, b], num=1)
    assert isinstance(single, tuple) and len(single[0]) == 200
    Path("notes.txt").write_text("a.wav")
    with pytest.raises(Exception) as e:
        io.load_wave("notes.txt")
    assert e.value.args == ("[vm.] Found unexpected file", "notes.txt")
    with pytest.raises(IndexError):
        io.load_wave([a], num=3)


def test_load_waves_std_len_and_types(in_tmp, write_wav):
    assert io.load_waves([]) == []
    with pytest.raises(AssertionError, match="Different audio sampling frequencies"):
        io.load_waves([], std_len=True)
    for n in (16000, 8000, 20000):
        write_wav(f"same/{n}.wav", tone(n))
    w2d, sr, n = io.load_waves("same", std_len=True)
    assert (sr, n) == (16000, 8000) and [len(w) for w in w2d] == [8000] * 3
    write_wav("mixed/a.wav", tone(100), sr=16000)
    write_wav("mixed/b.wav", tone(100), sr=8000)
    assert sorted(r[1] for r in io.load_waves("mixed")) == [8000, 16000]
    with pytest.raises(AssertionError, match="Different audio sampling frequencies"):
        io.load_waves("mixed", std_len=True)
    for bad in (True, 8.0, np.int64(8)):
        with pytest.raises(TypeError):
            io.load_waves("same", core_=bad)


def test_load_waves_pool_equals_sequential(in_tmp, write_wav, capsys):
    rng = np.random.default_rng(0)
    for i in range(301):
        write_wav(f"many/{i:03d}.wav", rng.uniform(-1, 1, 50 + i))
    (in_tmp / "many" / "999.wav").write_bytes(b"broken")
    seq = io.load_waves("many", use_pool=False)
    pooled = io.load_waves("many", use_pool=True, core_=3)
    assert len(seq) == len(pooled) == 302
    for s, p in zip(seq, pooled):
        if s is None:
            assert p is None
        else:
            np.testing.assert_array_equal(s[0], p[0])
            assert s[1] == p[1]
    assert capsys.readouterr().out.count("File broken or Not exists!") == 2
    os.remove("many/999.wav")
    os.remove("many/300.wav")  # 300 files: the pool is not used, the result is the same
    assert len(io.load_waves("many", use_pool=True)) == 300


def test_file_load_from_threads_is_consistent(tmp_path, write_wav):
    p = write_wav("t.wav", tone(48000), sr=48000)
    ref = io.file_load(p, sr=16000)[0]
    out = [None] * 4

    def run(k):
        out[k] = io.file_load(p, sr=16000)[0]

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    for o in out:
        np.testing.assert_array_equal(o, ref)


# ---------------------------------------------------------------- saving and copying


def test_save_wave_scaling_and_layout(in_tmp):
    io.save_wave("o/x.wav", np.zeros(16000, np.float32), 16000)
    sr, d = wavfile.read("o/x.wav")
    assert sr == 16000 and d.dtype == np.int16 and d.shape == (16000,)
    assert os.path.getsize("o/x.wav") == 44 + 32000
    io.save_wave("v.wav", np.array([0.5, -1.0, 1.2, -1.5], np.float32), 8000)
    assert wavfile.read("v.wav")[1].tolist() == [16383, -32767, 32767, -32768]
    io.save_wave("f64.wav", np.array([0.9, -0.9, 1.0, -1.0, 3.7]), 8000)
    assert wavfile.read("f64.wav")[1].tolist() == [0, 0, 1, -1, 3]
    io.save_wave("i32.wav", np.array([70000, -5, 3], np.int32), 8000)
    assert wavfile.read("i32.wav")[1].tolist() == [np.int32(70000).astype(np.int16), -5, 3]
    stereo = np.stack([np.full(10, 0.25), np.full(10, -0.25)], axis=1).astype(np.float32)
    io.save_wave("st.wav", stereo, 8000)
    sr, d = wavfile.read("st.wav")
    assert d.shape == (10, 2) and d[0].tolist() == [8191, -8191]
    io.save_wave("nan.wav", np.array([np.nan, np.inf, -np.inf, 0.1], np.float32), 8000)
    assert wavfile.read("nan.wav")[1].tolist() == [0, 32767, -32768, 3276]
    # no temporary file is left next to the results
    assert not [p for p in os.listdir(".") if ".tmp" in p]


def test_save_wave_resamples_and_checks_types(in_tmp):
    io.save_wave("r.wav", tone(16000), 16000, d_sample=8000)
    sr, d = wavfile.read("r.wav")
    assert sr == 8000 and abs(len(d) - 8000) <= 1
    for bad in (np.int64(16000), 16000.0, True):
        with pytest.raises(TypeError):
            io.save_wave("t.wav", tone(10), bad)
        with pytest.raises(TypeError):
            io.save_wave("t.wav", tone(10), 16000, d_sample=bad)
    assert not Path("t.wav").exists()


def test_save_wave_failure_keeps_existing_file(in_tmp):
    io.save_wave("keep.wav", tone(100), 16000)
    before = Path("keep.wav").read_bytes()
    with pytest.raises(Exception):
        io.save_wave("keep.wav", np.zeros((2, 2, 2), np.float32), 16000)
    assert Path("keep.wav").read_bytes() == before
    Path("blocker").write_text("a file")
    with pytest.raises(OSError):
        io.save_wave("blocker/x.wav", tone(10), 16000)


def test_copy_waves(in_tmp, write_wav, capsys):
    write_wav("x/a.wav", np.zeros(4))
    write_wav("y/b.wav", np.zeros(4))
    write_wav("z/a.wav", np.ones(4) * 0.5)
    io.copy_waves("dest.d", "x/a.wav")
    assert capsys.readouterr().out == "[vm.] 輸入並非路徑➡dest.d\n"
    assert not Path("dest.d").exists()
    io.copy_waves("dest", ["x/a.wav", [Path("y/b.wav")]])
    assert sorted(os.listdir("dest")) == ["a.wav", "b.wav"]
    io.copy_waves("dest2", ["x/a.wav", "z/a.wav"])
    assert Path("dest2/a.wav").read_bytes() == Path("z/a.wav").read_bytes()
    with pytest.raises(Exception):
        io.copy_waves("dest3", ("x/a.wav", "y/b.wav"))
    with pytest.raises(FileNotFoundError):
        io.copy_waves("dest", "missing.wav")


# ---------------------------------------------------------------- LoadAudio


def test_load_audio(in_tmp, write_wav):
    write_wav("f/a.wav", np.zeros(4))
    write_wav("f/sub/b.wav", np.zeros(4))
    la = io.LoadAudio("f")
    assert len(la) == 2 and la.nf == 2 and la.sr_pth == Path("f")
    assert la.files == [Path("f/a.wav"), Path("f/sub/b.wav")]
    with pytest.raises(AttributeError):
        next(la)
    assert list(la) == [1, 2] and la.count == 2
    assert io.LoadAudio.check_input("f") == io.check_input("f") == la.check_input("f")
    assert la.load_waves("f", std_len=True)[2] == 4
    (in_tmp / "e").mkdir()
    assert list(io.LoadAudio("e")) == []
    with pytest.raises(AssertionError) as e:
        io.LoadAudio("missing")
    assert str(e.value) == f"[vm.io] Folder: {in_tmp / 'missing'}, not found."


def test_load_audio_static_methods_look_up_at_call_time(in_tmp, monkeypatch):
    monkeypatch.setattr(io, "file_load", lambda *a, **k: ("patched", a, k))
    assert io.LoadAudio.file_load("x", sr=1) == ("patched", ("x",), {"sr": 1})


def test_wav_chunk_layouts_decode_like_libsndfile(tmp_path):
    """Extra chunks (odd-sized, padded), extensible headers and truncated data all decode
    exactly as libsndfile reads them."""
    import struct

    pcm = (np.arange(-300, 300, dtype=np.int16) * 97).astype(np.int16)

    def riff(chunks):
        body = b"WAVE" + b"".join(chunks)
        return b"RIFF" + struct.pack("<I", len(body)) + body

    def chunk(cid, data):
        return cid + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")

    fmt = struct.pack("<HHIIHH", 1, 2, 8000, 32000, 4, 16)
    guid = struct.pack("<H", 1) + b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
    ext = struct.pack("<HHIIHHHHI", 0xFFFE, 2, 8000, 32000, 4, 16, 22, 16, 3) + guid
    cases = {
        "list.wav": riff(
            [chunk(b"LIST", b"abc"), chunk(b"fmt ", fmt), chunk(b"data", pcm.tobytes())]
        ),
        "ext.wav": riff(
            [chunk(b"fmt ", ext), chunk(b"data", pcm.tobytes()), chunk(b"junk", b"xy")]
        ),
        "cut.wav": riff([chunk(b"fmt ", fmt), chunk(b"data", pcm.tobytes())])[:-101],
    }
    for name, raw in cases.items():
        p = tmp_path / name
        p.write_bytes(raw)
        ref, sr = sf.read(p, dtype="float32", always_2d=True)
        y, rate = io.file_load(p, mono=False)
        assert rate == sr == 8000, name
        np.testing.assert_array_equal(y, ref.T, err_msg=name)


def test_undecodable_file_names(tmp_path):
    odd = os.fsdecode(os.fsencode(str(tmp_path)) + b"/\xff.wav")
    io.save_wave(odd, tone(10), 8000)
    assert len(io.file_load(odd)[0]) == 10


# ---------------------------------------------------------------- hostile inputs


def test_nested_inputs_that_contain_themselves_or_nest_too_deep(in_tmp, write_wav):
    write_wav("a.wav", tone(10))
    loop = ["a.wav"]
    loop.append(loop)
    inner = ["x", loop]
    for fn in (io.check_input, io.load_wave, io.load_waves):
        with pytest.raises(ValueError, match=r"contains itself: input\[1\] is input$"):
            fn(loop)
    with pytest.raises(ValueError, match=r"input\[1\]\[1\]\[1\] is input\[1\]\[1\]"):
        io.check_input(("a.wav", inner))
    # the same list twice side by side is no cycle
    assert len(io.check_input([inner[:1], inner[:1]])[1]) == 2

    deep = "a.wav"
    for _ in range(100_000):
        deep = [deep]
    limit = __import__("sys").getrecursionlimit()
    try:
        for raised in (limit, 1_000_000):  # also when the caller lifted the interpreter's limit
            __import__("sys").setrecursionlimit(raised)
            for fn in (io.check_input, io.load_waves):
                with pytest.raises(RecursionError):
                    fn(deep)
    finally:
        __import__("sys").setrecursionlimit(limit)


def _wav_bytes(rate=16000, channels=1, frames=100, fmt_tag=1, fmt_extra=b"", chunks=b""):
    import struct

    data = (np.arange(frames * channels) % 200 - 100).astype("<i2").tobytes()
    fmt = (
        struct.pack(
            "<HHIIHH",
            fmt_tag,
            channels,
            rate,
            (rate * channels * 2) & 0xFFFFFFFF,
            (channels * 2) & 0xFFFF,
            16,
        )
        + fmt_extra
    )
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + chunks
    body += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


def test_implausible_rates_and_special_files_are_unreadable(tmp_path, capsys):
    import subprocess
    import sys

    for rate in (1, 999, 768_001):
        p = tmp_path / f"r{rate}.wav"
        p.write_bytes(_wav_bytes(rate=rate))
        assert io.file_load(p, sr=16000) is None
        assert capsys.readouterr().out == f"[vm.] File broken or Not exists! : {p}\n"
    p = tmp_path / "r1000.wav"
    p.write_bytes(_wav_bytes(rate=1000))
    assert io.file_load(p)[1] == 1000

    # a FIFO named like a WAV file would block the reader for ever
    fifo = tmp_path / "pipe.wav"
    os.mkfifo(fifo)
    code = f"from vemio.core import io; print(io.file_load({str(fifo)!r}))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout.splitlines() == [f"[vm.] File broken or Not exists! : {fifo}", "None"]


def test_paths_with_nul_bytes_are_refused(in_tmp, write_wav):
    write_wav("good.wav", tone(50))
    Path("data.csv").write_text("keep me")
    with pytest.raises(ValueError, match="null byte"):
        io.save_wave("data.csv\0.wav", tone(10), 16000)
    with pytest.raises(ValueError, match="null byte"):
        io.file_load(str(in_tmp / "good.wav") + "\0junk")
    assert Path("data.csv").read_text() == "keep me"
    assert sorted(os.listdir(".")) == ["data.csv", "good.wav"]


def test_save_wave_refuses_headers_that_would_overflow(in_tmp):
    for shape in [(1, 65536), (2, 65537), (10, 1025), (4, 0)]:
        with pytest.raises(ValueError, match=r"\(frames, channels\)") as e:
            io.save_wave("x.wav", np.zeros(shape, np.float32), 16000)
        assert ("transposed" in str(e.value)) == (shape[1] > shape[0])
    with pytest.raises(ValueError, match="byte rate"):
        io.save_wave("x.wav", np.zeros((4000, 1024), np.int16), 2_100_000)
    assert not Path("x.wav").exists()
    io.save_wave("ok.wav", np.zeros((3, 1024), np.int16), 16000)
    assert sf.info("ok.wav").channels == 1024


def test_file_load_invalid_target_rate_is_an_argument_error(tmp_path, write_wav, capsys):
    p = write_wav("good.wav", tone(160))
    for sr in (1.5, 0, -1, float("nan"), "x", True, 10**7):
        assert io.file_load(p, sr=sr) is None
        out = capsys.readouterr().out
        assert out.startswith(f"[vm.] Invalid sampling rate sr={sr!r}") and "broken" not in out
    for sr in (8000, 8000.0, np.int32(8000)):
        y, rate = io.file_load(p, sr=sr)
        assert rate == 8000 and len(y) == 80


def test_readers_accept_exactly_what_libsndfile_accepts(tmp_path, capsys):
    """Files the plain 16-bit path used to take although libsndfile refuses them."""
    import struct

    bad_guid = struct.pack("<HHI", 22, 16, 0) + bytes.fromhex("0200000000001000800000aa00389b71")
    cases = {
        "channels1025.wav": _wav_bytes(channels=1025, frames=4),
        "bad_guid.wav": _wav_bytes(channels=2, fmt_tag=0xFFFE, fmt_extra=bad_guid),
        "odd_junk.wav": _wav_bytes(chunks=b"JUNK" + struct.pack("<I", 3) + b"abc"),
        "plain.wav": _wav_bytes(channels=2),
    }
    for name, raw in cases.items():
        p = tmp_path / name
        p.write_bytes(raw)
        try:
            ref = sf.read(p, dtype="float32", always_2d=True)[0].mean(axis=1, dtype=np.float32)
        except RuntimeError:
            ref = None
        got = io.file_load(p)
        pooled = io.load_waves([p] * 301, use_pool=True, core_=2)[0]
        if ref is None:
            assert got is None and pooled is None, name
        else:
            np.testing.assert_array_equal(got[0], ref, err_msg=name)
            np.testing.assert_array_equal(pooled[0], ref, err_msg=name)
    assert "plain.wav" not in capsys.readouterr().out


def test_unaligned_arrays_give_the_aligned_result(in_tmp):
    from vemio._enh import trad

    x = tone(4000).astype(np.float64)
    raw = bytearray(x.nbytes + 1)
    raw[1:] = x.tobytes()
    odd = np.frombuffer(raw, dtype=np.float64, offset=1)
    assert not odd.flags.aligned
    np.testing.assert_array_equal(trad.trad_enhance(odd, 16000), trad.trad_enhance(x, 16000))
    io.save_wave("odd.wav", odd.astype(np.float32), 16000, d_sample=8000)
    io.save_wave("even.wav", x.astype(np.float32), 16000, d_sample=8000)
    assert Path("odd.wav").read_bytes() == Path("even.wav").read_bytes()
    # what numpy cannot convert fails with numpy's own error
    with pytest.raises(ValueError, match="could not convert"):
        trad.trad_enhance(["x", "y"], 16000)


def test_one_exception_family(tmp_path):
    import vemio
    from vemio.core.synth import Synthesizer
    from vemio.util.check import pyaudio

    assert io.AudioError is vemio.AudioError
    assert issubclass(vemio.AudioError, vemio.VemioError) and issubclass(vemio.AudioError, OSError)
    assert issubclass(pyaudio.PortAudioError, vemio.VemioError)
    bad = tmp_path / "bad.wav"
    bad.write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt garbage")
    with pytest.raises(vemio.AudioError, match=str(bad)):
        Synthesizer.syn_waves((str(tmp_path / "o.wav"), str(bad), str(bad), 0), False)
