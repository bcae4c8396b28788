def step(bodies, dt):
    i = 0
    n = len(bodies)
    while i < n:
        b = bodies[i]
        b["x"] = b["x"] + b["vx"] * dt
        b["y"] = b["y"] + b["vy"] * dt
        b["vy"] = b["vy"] - 9.81 * dt
        if b["y"] < 0.0:
            b["vy"] = 0.0 - b["vy"] * 0.5
            b["y"] = 0.0
        bodies[i] = b
        i = i + 1
    return bodies
def run():
    bodies = []
    for k in range(0, 100):
        bodies = bodies + [{"x": 0.0, "y": 10.0 + k, "vx": 1.0, "vy": 0.0}]
    t = 0
    while t < 120000:
        bodies = step(bodies, 0.01)
        t = t + 1
    s = 0.0
    for b in bodies:
        s = s + b["x"] + b["y"]
    return round(s, 3)
print(run())
