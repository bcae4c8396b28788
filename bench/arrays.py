def run():
    n = 3000000
    a = list(range(0, n))
    i = 0
    while i < n:
        a[i] = i * 2
        i = i + 1
    total = 0
    for x in a:
        total = total + x
    rows = list(range(0, 100))
    y = 0
    while y < 100:
        rows[y] = list(range(0, 100))
        y = y + 1
    rep = 0
    while rep < 2000:
        y = 0
        while y < 100:
            x = 0
            while x < 100:
                rows[y][x] = rows[y][x] + x * y
                x = x + 1
            y = y + 1
        rep = rep + 1
    return total + rows[99][99]
print(run())
