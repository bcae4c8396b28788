def run(n):
    total = 0
    i = 0
    while i < n:
        p = [i, i + 1, i + 2]
        q = [p[2], p[0], 7]
        total = total + q[0] - q[1] + len(p) + q[2]
        i = i + 1
    return total
print(run(6000000))
