def get_client(): raise NotImplementedError
