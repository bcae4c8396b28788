import math
def times(v, n):
    out = list(range(0, n))
    i = 0
    while i < n:
        sum = 0.0
        j = 0
        while j < n:
            ij = i + j
            sum = sum + v[j] / (ij * (ij + 1) / 2 + i + 1)
            j = j + 1
        out[i] = sum
        i = i + 1
    return out
def times_transposed(v, n):
    out = list(range(0, n))
    i = 0
    while i < n:
        sum = 0.0
        j = 0
        while j < n:
            ij = i + j
            sum = sum + v[j] / (ij * (ij + 1) / 2 + j + 1)
            j = j + 1
        out[i] = sum
        i = i + 1
    return out
def run(n):
    u = [1.0] * n
    v = u
    k = 0
    while k < 10:
        v = times_transposed(times(u, n), n)
        u = times_transposed(times(v, n), n)
        k = k + 1
    vbv = 0.0
    vv = 0.0
    i = 0
    while i < n:
        vbv = vbv + u[i] * v[i]
        vv = vv + v[i] * v[i]
        i = i + 1
    return math.sqrt(vbv / vv)
print(int(run(800) * 1000000000))
