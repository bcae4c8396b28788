class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y
    def norm2(self):
        return self.x * self.x + self.y * self.y
    def moved(self, dx):
        return Point(self.x + dx, self.y)
def run():
    p = Point(3, 4)
    total = 0
    i = 0
    while i < 6000000:
        total = total + p.norm2()
        i = i + 1
    q = p
    i = 0
    while i < 2000000:
        q = q.moved(1)
        i = i + 1
    return total + q.x
print(run())
