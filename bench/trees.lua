local function build(depth)
  if depth == 0 then return {0, 0} end
  return {build(depth - 1), build(depth - 1)}
end
local function count(t)
  if math.type(t[1]) == "integer" then return 1 end
  return 1 + count(t[1]) + count(t[2])
end
local function run(depth, reps)
  local total = 0
  for r = 1, reps do total = total + count(build(depth)) end
  return total
end
print(run(16, 8))
