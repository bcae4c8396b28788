def permute(n):
    a = list(range(0, n))
    c = list(range(0, n))
    k = 0
    while k < n:
        c[k] = 0
        k = k + 1
    check = 0
    count = 1
    i = 1
    while i < n:
        if c[i] < i:
            j = 0
            if i % 2 == 1:
                j = c[i]
            t = a[j]
            a[j] = a[i]
            a[i] = t
            s = 0
            k = 0
            while k < n:
                s = s + a[k] * (k + 1)
                k = k + 1
            check = (check * 31 + s) % 1000000007
            count = count + 1
            c[i] = c[i] + 1
            i = 1
        else:
            c[i] = 0
            i = i + 1
    print(count)
    return check
print(permute(10))
