def mandel(size, limit):
    count = 0
    y = 0
    while y < size:
        ci = 2.0 * y / size - 1.0
        x = 0
        while x < size:
            cr = 2.0 * x / size - 1.5
            zr = 0.0
            zi = 0.0
            k = 0
            inside = 1
            while k < limit:
                zr2 = zr * zr
                zi2 = zi * zi
                if zr2 + zi2 > 4.0:
                    inside = 0
                    break
                zi = 2.0 * zr * zi + ci
                zr = zr2 - zi2 + cr
                k = k + 1
            count = count + inside
            x = x + 1
        y = y + 1
    return count
print(mandel(1000, 50))
