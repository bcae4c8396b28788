local function run()
  local i = 0
  local total = 0
  while i < 40000000 do
    total = total + i % 7
    i = i + 1
  end
  return total
end
print(run())
