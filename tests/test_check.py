import os
import pprint
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import vemio
from vemio.util import check

SEP = "=" * 52
PYTHON_DIR = str(Path(vemio.__file__).resolve().parents[1])


# ---------------------------------------------------------------- a stand-in audio system


def device(name, max_in, max_out=0, rate=44100.0, rates=None, max_open=None, opens_left=None):
    """One fake device: `rates` the accepted rates (None: any positive), `max_open` the most
    channels a stream may have (default max_in), `opens_left` successful opens before it vanishes."""
    return dict(
        name=name,
        max_in=max_in,
        max_out=max_out,
        rate=rate,
        rates=rates,
        max_open=max_in if max_open is None else max_open,
        opens_left=opens_left,
    )


class FakeStream:
    def __init__(self, audio):
        self.audio = audio

    def close(self):
        self.audio.closed += 1


class FakeAudio:
    devices = []

    def __init__(self):
        self.devs = [dict(d) for d in FakeAudio.devices]
        self.terminated = 0
        self.opens = []
        self.closed = 0

    def info(self, i):
        if not isinstance(i, int) or not 0 <= i < len(self.devs):
            raise OSError("Invalid device")
        d = self.devs[i]
        return {
            "index": i,
            "structVersion": 2,
            "name": d["name"],
            "hostApi": 0,
            "maxInputChannels": d["max_in"],
            "maxOutputChannels": d["max_out"],
            "defaultSampleRate": d["rate"],
        }

    def get_host_api_info_by_index(self, i):
        assert i == 0
        return {"index": 0, "name": "Fake", "deviceCount": len(self.devs)}

    def get_device_info_by_host_api_device_index(self, api, i):
        assert api == 0
        return self.info(i)

    def get_device_info_by_index(self, i):
        return self.info(i)

    def get_device_count(self):
        return len(self.devs)

    def open(self, format, channels, rate, input, input_device_index, frames_per_buffer):
        assert format == check.pyaudio.paInt16 and input is True
        self.opens.append((input_device_index, rate, channels, frames_per_buffer))
        d = self.devs[self.info(input_device_index)["index"]]
        if d["opens_left"] is not None:
            if d["opens_left"] == 0:
                raise OSError("Device unavailable")
            d["opens_left"] -= 1
        if rate <= 0 or (d["rates"] is not None and rate not in d["rates"]):
            raise OSError("Invalid sample rate")
        if not 1 <= channels <= d["max_open"]:
            raise OSError("Invalid number of channels")
        return FakeStream(self)

    def terminate(self):
        self.terminated += 1


@pytest.fixture
def fake(monkeypatch):
    """Install the fake audio system; returns a setter for its device list."""
    monkeypatch.setattr(check.pyaudio, "PyAudio", FakeAudio)

    def set_devices(*devs):
        FakeAudio.devices = list(devs)

    set_devices()
    return set_devices


def lines(capsys):
    return capsys.readouterr().out.split("\n")


# ---------------------------------------------------------------- module surface


def test_module_surface():
    assert check.__all__ == ["is_available", "check_device", "CheckDevice"]
    assert check.CheckDevice.standard_rate == [
        192000,
        96000,
        88200,
        64000,
        48000,
        44100,
        32000,
        22050,
        16000,
        11025,
        8000,
        6000,
    ]
    assert check.pyaudio.paInt16 == 8 and callable(check.pyaudio.PyAudio)
    assert issubclass(check.pyaudio.PortAudioError, OSError)
    # check_device is the timer-wrapped function
    assert check.check_device.__wrapped__.__name__ == "check_device"


def test_construction_uses_the_current_audio_system(fake):
    cd = check.CheckDevice()
    assert isinstance(cd.p, FakeAudio)
    assert (cd.frame_size, cd.device, cd.rate) == (1024, None, None)
    with pytest.raises(AttributeError):
        cd.channels
    assert check.CheckDevice(256).frame_size == 256


# ---------------------------------------------------------------- listing


def test_system_devices_lists_every_device_of_the_first_host_api(fake, capsys):
    fake(device("mic", 2), device("speaker", 0, 8, rate=48000.0))
    cd = check.CheckDevice()
    records = cd.system_devices()
    assert records == [
        {"Device": "mic", "index": 0, "fs": 44100.0, "out": 0, "in": 2},
        {"Device": "speaker", "index": 1, "fs": 48000.0, "out": 8, "in": 0},
    ]
    assert list(records[0]) == ["Device", "index", "fs", "out", "in"]
    assert lines(capsys) == [
        SEP,
        "[vm.] Name:mic, index:0, in:2, out:0",
        "[vm.] Name:speaker, index:1, in:0, out:8",
        SEP,
        "",
        "",
    ]
    assert cd("hello") == records
    assert lines(capsys)[0] == "hello"
    cd()
    assert lines(capsys)[0] == "device"


# ---------------------------------------------------------------- probes


def test_probe_opens_and_closes_or_prints_the_refusal(fake, capsys):
    fake(device("mic", 2, rates={16000, 44100}), device("speaker", 0, 2))
    cd = check.CheckDevice(512)
    assert cd._is_input_device(0) is True
    assert cd.p.opens[-1] == (0, 44100, 1, 512) and cd.p.closed == 1
    assert cd._is_input_device(0, 16000, 2) is True
    assert cd._is_input_device(1) is False  # output-only: quietly refused, nothing opened
    assert capsys.readouterr().out == "" and len(cd.p.opens) == 2
    assert cd._is_input_device(0, 8000) is False
    assert cd._is_input_device(0, None, 0) is False
    assert cd._is_input_device(0, -5) is False
    assert cd._is_input_device(7) is False
    assert lines(capsys) == [
        "[vm.] Invalid sample rate [device:0, sr:8000]",
        "[vm.] Invalid number of channels [device:0, sr:44100]",
        "[vm.] Invalid sample rate [device:0, sr:-5]",
        "[vm.] Invalid device [device:7, sr:None]",
        "",
    ]


def test_check_available_rate(fake, capsys):
    fake(device("mic", 1, rate=48000.0, rates={16000, 44100, 48000}), device("speaker", 0, 2))
    cd = check.CheckDevice()
    with pytest.raises(TypeError):
        cd.check_available_rate(True)
    with pytest.raises(TypeError):
        cd.check_available_rate(0.0)
    assert cd.p.opens == [] and capsys.readouterr().out == ""

    assert cd.check_available_rate(0) == [48000, 44100, 16000]
    out = lines(capsys)
    assert len(out) == 1 + 9 and "[vm.] Invalid sample rate [device:0, sr:192000]" in out

    assert cd.check_available_rate(1) is False
    assert lines(capsys) == [f"[vm.] 此裝置無法使用: {cd.get_device_info(1)}", ""]
    # an unknown index is refused the same way, its error standing in for the dictionary
    assert cd.check_available_rate(5) is False
    assert lines(capsys)[-2] == "[vm.] 此裝置無法使用: Invalid device"


# ---------------------------------------------------------------- choosing a configuration


def test_input_device_picks_the_highest_usable_index(fake, capsys):
    fake(device("a", 2), device("b", 1), device("speaker", 0, 2), device("broken", 2, rates=set()))
    cd = check.CheckDevice()
    assert cd.input_device() == (1, 16000, 1)
    assert (cd.device, cd.rate, cd.channels) == (1, 16000, 1)
    out = lines(capsys)
    assert out[0] == "[vm.] Invalid sample rate [device:3, sr:44100]"
    assert out[1:4] == ["[vm.] 找到 2 個麥克風", "[vm.] 裝置1, 取樣頻率: 16000", SEP]


def test_input_device_rate_fallbacks(fake, capsys):
    fake(
        device("mic", 2, rates={16000, 44100}),
        device("hifi", 2, rate=48000.0, rates={44100, 48000}),
        device("odd", 2, rate=96000.0, rates={96000}),
    )
    cd = check.CheckDevice()
    assert cd.input_device(0, rate=12345) == (0, 16000, 1)
    assert cd.input_device(0, rate=44100) == (0, 44100, 1)
    assert cd.input_device(1) == (1, 44100, 1)
    assert cd.input_device(2, rate=-1) == (2, 96000, 1)
    assert "[vm.] 裝置2, 取樣頻率: 96000" in lines(capsys)


def test_input_device_channel_rules(fake, capsys):
    fake(device("stereo", 2), device("mono-only", 2, max_open=1))
    cd = check.CheckDevice()
    assert cd.input_device(0, channels=2) == (0, 16000, 2)
    capsys.readouterr()
    assert cd.input_device(0, channels=8) == (0, 16000, 1)
    assert (
        f"[vm.] 使用者設定通道數無法使用(可能設定值大於裝置最大通道數): {cd.get_device_info(0)}"
        in lines(capsys)
    )
    with pytest.raises(Exception) as e:
        cd.input_device(1, channels=2)
    assert type(e.value) is Exception
    assert str(e.value) == f"[vm.] 此裝置通道設定(2)錯誤: {cd.get_device_info(1)}"
    with pytest.raises(Exception, match=r"^\[vm.\] 此裝置通道設定\(0\)錯誤: "):
        cd.input_device(0, channels=0)
    # a failed choice leaves the previous one in place
    assert (cd.device, cd.rate, cd.channels) == (0, 16000, 1)


def test_input_device_failures(fake):
    cd = check.CheckDevice()
    with pytest.raises(AssertionError, match=r"^\[vm.\] 系統沒有找到麥克風$"):
        cd.input_device()
    fake(device("speaker", 0, 2), device("mic", 1))
    cd = check.CheckDevice()
    with pytest.raises(AssertionError) as e:
        cd.input_device(0)
    assert str(e.value) == f"[vm.] 此裝置無法使用: {cd.get_device_info(0)}"
    with pytest.raises(AssertionError, match=r"^\[vm.\] 此裝置無法使用: Invalid device$"):
        cd.input_device(9)
    with pytest.raises(AssertionError):
        cd.input_device("x")
    # a device that vanishes between the checks: the next open fails and is reported
    fake(device("flaky", 1, opens_left=1))
    with pytest.raises(Exception, match=r"^\[vm.\] 此裝置取樣頻率錯誤: "):
        check.CheckDevice().input_device(0)
    fake(device("flaky", 1, opens_left=4))
    with pytest.raises(Exception, match=r"^\[vm.\] 此裝置通道設定\(1\)錯誤: "):
        check.CheckDevice().input_device()


def test_show_current_device_info(fake, capsys):
    fake(device("mic", 2, rates={16000, 44100}))
    cd = check.CheckDevice()
    cd.device, cd.rate, cd.channels = 0, 16000, 2
    cd.show_current_device_info()
    info = cd.get_device_info(0)
    assert capsys.readouterr().out == "\n".join(
        [
            SEP,
            "[vm.] 選擇裝置:",
            pprint.pformat(info),
            "裝置名稱: mic",
            "裝置編號: 0",
            "最大輸入通道: 2",
            "最大輸出通道: 0",
            "預設取樣頻率: 44100.0",
            "取樣頻率: 16000 Hz",
            "通道數: 2",
            "框大小: 1024",
            "預測更新頻率: 15.62",
            SEP,
            "\n",
            "",
        ]
    )
    # nothing chosen yet: it chooses first (which reports once)
    cd = check.CheckDevice(160)
    cd.show_current_device_info()
    out = lines(capsys)
    assert (cd.device, cd.rate, cd.channels) == (0, 16000, 1)
    assert out.count("[vm.] 選擇裝置:") == 1 and "預測更新頻率: 100.00" in out


# ---------------------------------------------------------------- lifecycle


def test_with_block_and_use_after_terminate(fake):
    fake(device("mic", 1))
    with check.CheckDevice() as cd:
        assert isinstance(cd, check.CheckDevice)
        p = cd.p
        cd.input_device()
    assert p.terminated == 1
    for use in (
        cd.system_devices,
        cd.input_device,
        cd.show_current_device_info,
        lambda: cd._is_input_device(0),
        lambda: cd.check_available_rate(0),
        lambda: cd(),
        lambda: cd.get_device_info(0),
    ):
        with pytest.raises(RuntimeError, match="terminated"):
            use()
    cd.terminate()
    assert p.terminated == 1 and "terminated" in repr(cd)
    with pytest.raises(KeyError):
        with check.CheckDevice() as cd2:
            raise KeyError("passes through")
    assert cd2.p.terminated == 1


# ---------------------------------------------------------------- module functions


def test_check_device(fake, capsys):
    fake(device("mic", 1))
    assert check.check_device() is True
    out = capsys.readouterr().out
    assert out.startswith("Help on class CheckDevice in module vemio.util.check:")
    assert "[vm.] 找到 1 個麥克風" in out and "[vm.] Audio test\n" in out
    fake()
    assert check.check_device() is False
    out = lines(capsys)
    assert "[vm.] 系統沒有找到麥克風" in out and "[vm.] Audio test" not in out


def test_check_device_reports_a_failing_audio_system(monkeypatch, capsys):
    def broken():
        raise OSError("no audio system")

    monkeypatch.setattr(check.pyaudio, "PyAudio", broken)
    with pytest.raises(OSError):
        check.CheckDevice()
    assert check.check_device() is False
    assert "no audio system" in lines(capsys)


@pytest.mark.parametrize("colour", [False, 0, None])
def test_is_available_combines_colour_and_device_tests(fake, monkeypatch, capsys, colour):
    fake(device("mic", 1))
    monkeypatch.setattr(check, "color_test", lambda text: colour)
    assert check.is_available() is colour
    assert "[vm.] Audio test" in capsys.readouterr().out  # the device test still ran
    monkeypatch.setattr(check, "color_test", lambda text: "ok")
    assert check.is_available() is True
    fake()
    assert check.is_available() is False


def run_python(code, *flags, env=None):
    full_env = {k: v for k, v in os.environ.items() if k != "ALSA_CONFIG_PATH"}
    full_env.update(PYTHONPATH=PYTHON_DIR, **(env or {}))
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_assertions_are_skipped_without_assert():
    r = run_python(
        """
        from vemio.util import check
        class P:
            def get_device_count(self): return 0
            def get_device_info_by_index(self, i): raise OSError("Invalid device")
        check.pyaudio.PyAudio = P
        try:
            check.CheckDevice().input_device()
        except IndexError as e:
            print("IndexError", e)
    """,
        "-O",
    )
    assert r.stdout == "IndexError list index out of range\n", r.stderr


# ---------------------------------------------------------------- the real PortAudio


@pytest.fixture
def alsa_null(tmp_path):
    """An ALSA configuration whose only PCMs are a null device and `default` over it."""
    conf = tmp_path / "asound.conf"
    conf.write_text(
        'pcm.vemio_null { type null }\npcm.!default { type plug; slave.pcm "vemio_null" }\n'
    )
    return {"ALSA_CONFIG_PATH": str(conf)}


def test_real_portaudio_without_capture_devices():
    r = run_python("""
        from vemio.util import check
        p = check.pyaudio.PyAudio()
        n = sum(p.get_device_info_by_index(i)["maxInputChannels"] > 0 for i in range(p.get_device_count()))
        p.terminate()
        if n:
            print("HAS-DEVICES")
        else:
            print("RESULT", check.check_device())
    """)
    if "HAS-DEVICES" in r.stdout:
        pytest.skip("this machine has capture devices")
    assert "[vm.] 系統沒有找到麥克風\n" in r.stdout and "RESULT False" in r.stdout, r.stderr
    assert "ALSA lib" not in r.stderr and "Cannot connect to server" not in r.stderr


def test_real_portaudio_with_a_virtual_capture_device(alsa_null):
    r = run_python(
        """
        from vemio.util import check
        assert check.check_device() is True
        with check.CheckDevice() as cd:
            info = cd.get_device_info(cd.p.get_host_api_info_by_index(0)["defaultInputDevice"])
            assert info["maxInputChannels"] > 0 and info["defaultSampleRate"] > 0
            print("RATES", cd.check_available_rate(info["index"]))
            assert cd._is_input_device(info["index"], 16000, 0) is False
            stream = cd.p.open(format=check.pyaudio.paInt16, channels=1, rate=16000, input=True,
                               input_device_index=info["index"], frames_per_buffer=160)
            assert len(stream.read(160)) == 320
            try:
                cd.p.open(format=check.pyaudio.paInt16, channels=1, rate=-1, input=True,
                          input_device_index=info["index"])
            except OSError as e:
                print("REFUSED", type(e).__name__, e, e.code)
            try:
                cd.p.open(format=check.pyaudio.paInt16, channels=1000, rate=16000, input=True,
                          input_device_index=info["index"])
            except OSError as e:
                print("REFUSED", e, any("channelCount" in m for m in e.native_messages))
            p = cd.p
        try:
            stream.read(1)
        except RuntimeError as e:
            print("AFTER", e)
        try:
            p.get_device_count()
        except RuntimeError as e:
            print("AFTER", e)
    """,
        env=alsa_null,
    )
    out = r.stdout
    assert r.returncode == 0, r.stderr
    assert "[vm.] 找到 2 個麥克風\n" in out and "[vm.] 裝置1, 取樣頻率: 16000\n" in out
    assert "[vm.] Audio test\n" in out
    assert "[vm.] Invalid number of channels [device:" in out
    assert "REFUSED PortAudioError Invalid sample rate -9997" in out
    assert "REFUSED Invalid number of channels True" in out  # the host's trace travels with it
    assert out.count("AFTER") == 2 and "terminated" in out
    rates = eval(out.split("RATES ")[1].split("\n")[0])
    assert 16000 in rates and rates == sorted(rates, reverse=True)
    # the ALSA, JACK and PortAudio chatter stayed off standard error
    assert r.stderr == ""


def test_python_m_runs_the_full_check(alsa_null):
    if not hasattr(check, "__path__"):
        pytest.skip("vemio.util.check is built as a plain module file, which python -m cannot run")
    full_env = dict(os.environ, PYTHONPATH=PYTHON_DIR, **alsa_null)
    r = subprocess.run(
        [sys.executable, "-m", "vemio.util.check"],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert r.returncode == 0 and "[vm.] Color test" in r.stdout and "[vm.] Audio test" in r.stdout
