DB_dict = {}
