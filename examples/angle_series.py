#!/usr/bin/python3
"""A fast spectrum at every angle between the hemispheres, 0 ... 180 degrees in steps of 10, on
the virtual apparatus; prints the level of one resonance against the angle.
Start the program first: sonarix --virtual --remote"""
import os

import pyvisa

RESOURCE = os.environ.get("SONARIX_RESOURCE", "TCPIP::127.0.0.1::5025::SOCKET")

RESONANCE = 3690.0  # Hz, near a mode of the sphere; adjust to your spectrum

rm = pyvisa.ResourceManager("@py")
sonarix = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n",
                           timeout=600000)
sonarix.write("*RST;*CLS;:FREQ:STAR 3000;STOP 4500;:FORM REAL,64")
for angle in range(0, 181, 10):
    sonarix.write(f"APP:ANGL {angle}")
    sonarix.query("INIT:FAST;*OPC?")
    data = sonarix.query_binary_values("TRAC:DATA?", datatype="d", is_big_endian=True)
    step = 3 if sonarix.query("TRAC:PHAS?") == "1" else 2
    points = [(data[k], data[k + 1]) for k in range(0, len(data), step)]
    level = max(a for f, a in points if abs(f - RESONANCE) < 30.0)
    print(f"{angle:3d} degrees: {level:.4f}")
print(sonarix.query("SYST:ERR?"))
