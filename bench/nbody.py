import math
def make_bodies():
    return [
        {"x": 0.0, "y": 0.0, "z": 0.0, "vx": 0.0, "vy": 0.0, "vz": 0.0, "m": 40.0},
        {"x": 5.0, "y": 0.0, "z": 0.5, "vx": 0.0, "vy": 2.8, "vz": 0.0, "m": 0.04},
        {"x": -8.0, "y": 1.0, "z": 0.0, "vx": 0.1, "vy": -2.2, "vz": 0.05, "m": 0.012},
        {"x": 0.0, "y": 12.0, "z": -1.0, "vx": -1.8, "vy": 0.0, "vz": 0.0, "m": 0.02},
        {"x": 3.0, "y": -15.0, "z": 0.25, "vx": 1.6, "vy": 0.2, "vz": -0.1, "m": 0.002},
    ]
def advance(bodies, n, dt):
    sqrt = math.sqrt
    i = 0
    while i < n:
        b = bodies[i]
        j = i + 1
        while j < n:
            o = bodies[j]
            dx = b["x"] - o["x"]
            dy = b["y"] - o["y"]
            dz = b["z"] - o["z"]
            d2 = dx * dx + dy * dy + dz * dz + 0.01
            mag = dt / (d2 * sqrt(d2))
            bm = b["m"] * mag
            om = o["m"] * mag
            b["vx"] = b["vx"] - dx * om
            b["vy"] = b["vy"] - dy * om
            b["vz"] = b["vz"] - dz * om
            o["vx"] = o["vx"] + dx * bm
            o["vy"] = o["vy"] + dy * bm
            o["vz"] = o["vz"] + dz * bm
            bodies[j] = o
            j = j + 1
        bodies[i] = b
        i = i + 1
    i = 0
    while i < n:
        b = bodies[i]
        b["x"] = b["x"] + dt * b["vx"]
        b["y"] = b["y"] + dt * b["vy"]
        b["z"] = b["z"] + dt * b["vz"]
        bodies[i] = b
        i = i + 1
    return bodies
def run(steps):
    bodies = make_bodies()
    n = len(bodies)
    s = 0
    while s < steps:
        bodies = advance(bodies, n, 0.001)
        s = s + 1
    total = 0.0
    i = 0
    while i < n:
        b = bodies[i]
        total = total + b["x"] * b["x"] + b["y"] * b["y"] + b["z"] * b["z"]
        i = i + 1
    return int(total * 1000000)
print(run(300000))
