/* a /* nested */ comment */ SELECT 1 -- to the end
-- only a comment