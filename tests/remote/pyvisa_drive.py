#!/usr/bin/python3
"""Drives the running program with the real PyVISA client (pyvisa-py's TCPIP SOCKET resource)
through every command family, and compares what it reads with the files the program writes;
or, given the examples' folder, runs each example script against it.
Usage: pyvisa_drive.py SONARIX_EXECUTABLE WORK_FOLDER [EXAMPLES_FOLDER]. Exit status 0 when
everything holds."""
import os
import shutil
import socket
import subprocess
import sys
import time

import pyvisa


def free_port(wanted=0):
    """`wanted` if nothing listens there now, otherwise a port the system picks."""
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", wanted))
        except OSError:
            s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    program, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)  # no journal of an earlier run
    os.makedirs(work)
    examples = len(sys.argv) > 3
    # The drive takes the default port 5025 where it is free (the examples, which may run at the
    # same time, never do), so that plain --remote is what it reaches.
    port = free_port(0 if examples else 5025)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", SONARIX_MESSAGES_TO_STDERR="1",
               XDG_STATE_HOME=work, XDG_RUNTIME_DIR=work)
    remote = "--remote" if port == 5025 else f"--remote={port}"
    child = subprocess.Popen([program, "--virtual", remote], env=env, cwd=work,
                             stderr=subprocess.PIPE, text=True)
    try:
        for line in child.stderr:
            if "remote control on port" in line:
                check(line.split()[-1] == str(port), line)
                break
        else:
            raise AssertionError("the program did not start its remote control")
        resource = f"TCPIP::127.0.0.1::{port}::SOCKET"
        if examples:
            run_examples(sys.argv[3], resource, work)
        else:
            rm = pyvisa.ResourceManager("@py")
            inst = rm.open_resource(resource, read_termination="\n", write_termination="\n",
                                    timeout=60000)
            drive(inst, work)
            inst.close()
            rm.close()
    finally:
        child.terminate()
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
    print("pyvisa: done")


def run_examples(folder, resource, work):
    """Each example ends without an exception and with an empty error queue; the files it asks
    the program to save are in the program's working folder."""
    names = sorted(n for n in os.listdir(folder) if n.endswith(".py"))
    check(len(names) >= 4, f"the examples: {names}")
    for name in names:
        run = subprocess.run([sys.executable, os.path.join(folder, name)], cwd=work,
                             env=dict(os.environ, SONARIX_RESOURCE=resource),
                             capture_output=True, text=True, timeout=600)
        lines = run.stdout.strip().splitlines()
        check(run.returncode == 0 and lines and lines[-1] == '0,"No error"',
              f"{name}: {run.returncode}\n{run.stdout}\n{run.stderr}")
        print(f"{name}: {len(lines)} lines")
        print(run.stdout)
    for saved in ("spectrum.dat", "spectrum-40C.dat", "fit-parameters.par", "fit-report.csv"):
        check(os.path.getsize(os.path.join(work, saved)) > 0, f"{saved} written")


def expect_no_errors(inst):
    found = errors(inst)
    check(found == [], f"no errors: {found}")


def errors(inst):
    found = []
    while True:
        e = inst.query("SYST:ERR?")
        if e.startswith("0,"):
            return found
        found.append(e)


def read_pairs(path):
    with open(path, encoding="latin-1") as f:
        return [tuple(float(v) for v in line.split()) for line in f if line.strip()]


def drive(inst, work):
    # Identity, reset, the sweep fields and switches.
    check(inst.query("*IDN?").startswith("Sonarix,virtual apparatus,0,"), "*IDN?")
    inst.write("*RST;*CLS")
    check(inst.query("FREQ:STAR?;STOP?;STEP?;:SWE:DWEL?") == "100;10000;10;50", "defaults")
    inst.write("FREQ:STAR 2000;STOP 2400;STEP 20;:SWE:DWEL 10;:FILT:FFT ON;:LOCK OFF")
    inst.write("SOUR:VOL 60;:TRAC:SLOT 1")
    check(inst.query("FILT:FFT?;:LOCK?;:SOUR:VOL?;:TRAC:SLOT?") == "1;0;60;1", "switches")
    # The virtual apparatus.
    inst.write("APP:ANGL 90;RING 6;TEMP 25")
    check(inst.query("APP:ANGL?;RING?;TEMP?") == "90;6;25", "apparatus")
    # A stepped measurement, waited for, read as text and as a block.
    check(inst.query("INIT;*OPC?") == "1", "*OPC?")
    points = int(inst.query("TRAC:POIN?"))
    check(points == 20, f"20 points, not {points}")
    text = inst.query_ascii_values("TRAC:DATA?")
    inst.write("FORM REAL,64")
    block = inst.query_binary_values("TRAC:DATA?", datatype="d", is_big_endian=True)
    inst.write("FORM ASC")
    check(list(text) == list(block), "the block holds the text's numbers")
    # The spectrum file the program writes says the same (to its three decimals).
    spectrum = os.path.join(work, "remote spectrum.dat")
    inst.write(f'MMEM:STOR:TRAC 1,"{spectrum}"')
    check(inst.query("*OPC?") == "1", "stored")
    pairs = read_pairs(spectrum)
    check(len(pairs) == points, "the file has every point")
    for k, (f, a) in enumerate(pairs):
        check(abs(f - text[2 * k]) <= 5e-4 and abs(a - text[2 * k + 1]) <= 5e-4,
              f"point {k + 1}: file {f} {a}, remote {text[2 * k]} {text[2 * k + 1]}")
    # The file read back into slot 4.
    inst.write(f'MMEM:LOAD:TRAC 4,"{spectrum}"')
    loaded = inst.query_ascii_values("TRAC:DATA? 4")
    check(len(loaded) == 2 * points and all(abs(x - y) <= 5e-4 for x, y in zip(loaded, text)),
          "the loaded slot")
    # A fast measurement into slot 2, polled by its status.
    inst.write("TRAC:SLOT 2;:INIT:FAST")
    deadline = time.time() + 60
    while inst.query("STAT:OPER:COND?") != "0":
        check(time.time() < deadline, "the fast measurement ends")
        time.sleep(0.05)
    fast = inst.query_ascii_values("TRAC:DATA? 2")
    check(len(fast) >= 2 * 100, "a fast spectrum")
    # A session file, then the slots cleared and the session opened again.
    session = os.path.join(work, "remote.sonarix")
    inst.write(f'MMEM:STOR:SESS "{session}"')
    inst.write("TRAC:CLE 1;CLE 2")
    check(inst.query("TRAC:POIN? 1;POIN? 2") == "0;0", "cleared")
    inst.write(f'MMEM:LOAD:SESS "{session}"')
    check(inst.query_ascii_values("TRAC:DATA? 1") == text, "the session brought slot 1 back")
    check(inst.query_ascii_values("TRAC:DATA? 2") == fast, "and slot 2")
    expect_no_errors(inst)
    drive_tone_and_calibration(inst)
    drive_wave(inst, work)
    drive_fit(inst, work)
    # Errors land in the queue with the standard's numbers.
    inst.write("FREQ:STAR ON;:NO:SUCH;:TRAC:SLOT 9")
    inst.write(f'MMEM:LOAD:TRAC 1,"{os.path.join(work, "missing.dat")}"')
    codes = [int(e.split(",")[0]) for e in errors(inst)]
    check(codes == [-104, -113, -222, -256], f"error codes {codes}")
    check(inst.query_ascii_values("TRAC:DATA? 1") == text, "slot 1 untouched by the errors")


def drive_tone_and_calibration(inst):
    inst.write("SOUR:TONE 2272.7")
    check(float(inst.query("SOUR:TONE?")) == 2272.7, "the tone plays")
    inst.write("SOUR:TONE:STOP")
    check(inst.query("*OPC?;:SOUR:TONE?") == "1;0", "the tone ended")
    check(inst.query("CAL:LAT;*OPC?") == "1", "calibrated")
    latency = float(inst.query("CAL:LAT?"))
    check(0.0 <= latency < 1000.0, f"a latency of {latency} ms")
    expect_no_errors(inst)


def drive_wave(inst, work):
    # Three angle values of one mode, the wave file written, the values cleared and read back.
    inst.write("WAVE:MODE VAL;CLE;FREQ 2272.7")
    for angle in (0, 90, 180):
        check(inst.query(f"APP:ANGL {angle};:WAVE:ANGL {angle};MEAS;*OPC?") == "1", "measured")
    values = inst.query_ascii_values("WAVE:DATA?")
    check(len(values) == 19, "19 angle values")
    check(values[0] > 0 and values[18] > 0 and values[1] == 0, f"measured angles: {values} {errors(inst)}")
    wave = os.path.join(work, "remote wave.dat")
    inst.write(f'MMEM:STOR:WAVE "{wave}"')
    check(inst.query("*OPC?") == "1", "stored")
    stored = [pair[1] for pair in read_pairs(wave)]
    check(len(stored) == 19 and all(abs(x - y) <= 5e-4 for x, y in zip(stored, values)),
          f"the wave file {stored}")
    inst.write("WAVE:CLE")
    check(inst.query_ascii_values("WAVE:DATA?") == [0.0] * 19, "cleared")
    inst.write(f'MMEM:LOAD:WAVE "{wave}"')
    check(inst.query_ascii_values("WAVE:DATA?") == stored, "the wave file read back")
    expect_no_errors(inst)


def drive_fit(inst, work):
    # The l = 1 mode of the sphere with ring 6 mm at 180 degrees, measured with lock-in and the
    # calibrated latency: with the phases the fit does not depend on the noise's luck.
    inst.write("FREQ:STAR 2200;STOP 2340;STEP 2;:SWE:DWEL 20;:LOCK ON;:TRAC:SLOT 3")
    check(inst.query("INIT;*OPC?;:TRAC:PHAS? 3") == "1;1", "a spectrum with phases")
    inst.write("FIT:OPEN 3;:FIT:RANG 2200,2340")
    check(inst.query("FIT:PEAK:FIND;*OPC?;:FIT;*OPC?") == "1;1", "fitted")
    peaks = inst.query_ascii_values("FIT:PEAK?")
    check(len(peaks) >= 8 and len(peaks) % 8 == 0, f"peaks with errors: {peaks}")
    check(all(v > 0 for v in peaks[4:7]), "errors of the first peak")
    files = {what: os.path.join(work, f"remote fit {what}.dat") for what in ("PAR", "DATA", "REP")}
    for what, name in files.items():
        inst.write(f'MMEM:STOR:FIT:{what} "{name}"')
    check(inst.query("*OPC?") == "1", "stored")
    # The parameter file: frequency, amplitude, width and phase of each peak (three decimals).
    with open(files["PAR"], encoding="latin-1") as f:
        rows = [float(line.split("=")[1]) for line in f if "=" in line]
    check(len(rows) == len(peaks) // 2, f"the parameter file has every peak: {rows}")
    for k in range(len(peaks) // 8):
        frequency, width, amplitude, phase = peaks[8 * k:8 * k + 4]
        for x, y in zip(rows[4 * k:4 * k + 4], (frequency, amplitude, width, phase)):
            check(abs(x - y) <= 5e-4, f"peak {k + 1}: file {x}, remote {y}")
    check(len(read_pairs(files["DATA"])) > 10, "the fit curve")
    with open(files["REP"], encoding="latin-1") as f:
        check(len(f.read()) > 0, "the report")
    expect_no_errors(inst)


if __name__ == "__main__":
    main()
