local Point = {}
Point.__index = Point
function Point.new(x, y) return setmetatable({x = x, y = y}, Point) end
function Point:norm2() return self.x * self.x + self.y * self.y end
function Point:moved(dx) return Point.new(self.x + dx, self.y) end
local function run()
  local p = Point.new(3, 4)
  local total = 0
  local i = 0
  while i < 6000000 do
    total = total + p:norm2()
    i = i + 1
  end
  local q = p
  i = 0
  while i < 2000000 do
    q = q:moved(1)
    i = i + 1
  end
  return total + q.x
end
print(run())
