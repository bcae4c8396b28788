local function mandel(size, limit)
  local count = 0
  local y = 0
  while y < size do
    local ci = 2.0 * y / size - 1.0
    local x = 0
    while x < size do
      local cr = 2.0 * x / size - 1.5
      local zr, zi = 0.0, 0.0
      local k = 0
      local inside = 1
      while k < limit do
        local zr2 = zr * zr
        local zi2 = zi * zi
        if zr2 + zi2 > 4.0 then inside = 0; break end
        zi = 2.0 * zr * zi + ci
        zr = zr2 - zi2 + cr
        k = k + 1
      end
      count = count + inside
      x = x + 1
    end
    y = y + 1
  end
  return count
end
print(mandel(1000, 50))
